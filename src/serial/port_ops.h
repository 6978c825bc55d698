// The serial port operations the logic needs from the platform: one thin
// wrapper per kernel32 call. port_ops_win32.cpp forwards them to Windows,
// port_ops_posix.cpp realises them over termios; the native tests link a
// simulated port with a virtual clock instead.
#ifndef VFD_PORT_OPS_H
#define VFD_PORT_OPS_H

#include "win_types.h"

// CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL).
// INVALID_HANDLE_VALUE on failure.
HANDLE PortCreateFile(const Utf16Unit* devicePath);
BOOL PortGetCommState(HANDLE port, DCB* dcb);
BOOL PortSetCommState(HANDLE port, const DCB* dcb);
BOOL PortGetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL PortSetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL PortPurgeComm(HANDLE port, DWORD flags);
BOOL PortGetCommModemStatus(HANDLE port, DWORD* status);
// Synchronous ReadFile / WriteFile without an overlapped structure.
BOOL PortReadFile(HANDLE port, BYTE* buffer, DWORD size, DWORD* count);
BOOL PortWriteFile(HANDLE port, const BYTE* bytes, DWORD size, DWORD* count);
BOOL PortCloseHandle(HANDLE port);
void PortSleep(DWORD milliseconds);
// GetLastError: the error code of this thread's last failed call. The POSIX
// side reports errno as the matching Windows code.
DWORD PortGetLastError();

// The longest port name the platform's device paths are built from: 16 on
// Windows (COM1 ... COM256 and friends), a file system path on POSIX.
extern const DWORD PortNameMax;

#endif  // VFD_PORT_OPS_H

// The serial port operations the logic needs from the platform: one thin
// wrapper per kernel32 call. port_ops_win32.cpp forwards them to Windows,
// port_open_posix.cpp, port_line_posix.cpp and port_io_posix.cpp realise
// them over termios; the native tests link a simulated port with a virtual
// clock instead.
#ifndef VFD_PORT_OPS_H
#define VFD_PORT_OPS_H

#include "win_types.h"

// Opens the port of that name for exclusive use; INVALID_HANDLE_VALUE on
// failure. Windows: CreateFileW(\\.\ and the name, GENERIC_READ |
// GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL); the prefix is that
// realisation's alone. POSIX: the name is the device's path.
HANDLE PortCreateFile(const Utf16Unit* portName);
// Before a record goes to an open port: whether it is still this program's
// alone. FALSE (ERROR_SHARING_VIOLATION, the holder in the open detail) when
// another program opened it since the look before the open; the caller
// closes it. Windows: TRUE (no other handle can be open on a port opened
// without sharing). POSIX: a look at who holds the device that began after
// the open.
BOOL PortConfirmExclusive(HANDLE port);
// Asked while an open, or the look before a record, waits on something of
// the platform's own (POSIX: the look at every process's descriptors): true
// ends the wait at once, and the call fails with ERROR_OPERATION_ABORTED
// before anything reaches the port. Null: never. Windows waits on nothing.
void PortSetStopCheck(bool (*stopRequested)());
BOOL PortGetCommState(HANDLE port, DCB* dcb);
BOOL PortSetCommState(HANDLE port, const DCB* dcb);
// Puts back the line settings the handle's first PortGetCommState found;
// saved is what that call returned. Windows: SetCommState(saved). POSIX: the
// exact termios read then, which holds more than a DCB can say.
BOOL PortRestoreCommState(HANDLE port, const DCB* saved);
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

// What this thread's last PortCreateFile found out beyond its error code, as
// far as the platform can tell (Windows tells nothing more). After a failed
// open: why; after a successful one, only lockProblem.
struct PortOpenDetail {
  DWORD holderProcessId;     // the process that holds the port; 0: not known
  char holderProgram[64];    // its program's name; empty: not known
  char lockFile[256];        // the lock file that names the holder (or names nobody it can tell); empty: none
  BOOL exclusive;            // another program has the port in exclusive mode
  char accessGroup[64];      // no permission: the group whose members may open it
  char ownerAndMode[96];     // no permission, and no group may open it: "root:root with mode 0600"
  char lockProblem[256];     // the port is used without a lock file: why; empty: locked, or no lock files here
  // Processes the look at who holds the port could not look into (POSIX;
  // also after a successful open): a port one of them holds was not seen.
  DWORD unseenProcesses;
};
void PortGetOpenDetail(PortOpenDetail* detail);

// The longest port name the platform's device paths are built from: 16 on
// Windows (COM1 ... COM256 and friends), a file system path on POSIX.
extern const DWORD PortNameMax;

#endif  // VFD_PORT_OPS_H

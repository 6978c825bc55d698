// The serial port operations on Windows: each one is exactly one kernel32 call.
#include "serial/port_ops.h"

namespace {

// Without the \\.\ prefix Windows cannot open COM10 and above. The prefix,
// PortNameMax (16) units of name and the terminator.
const DWORD DevicePathUnits = 4 + 16 + 1;

}  // namespace

HANDLE PortCreateFile(const Utf16Unit* portName) {
  wchar_t devicePath[DevicePathUnits] = L"\\\\.\\";
  DWORD length = 0;
  while (portName[length] != 0) {
    if (4 + length + 1 >= DevicePathUnits) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    devicePath[4 + length] = static_cast<wchar_t>(portName[length]);
    ++length;
  }
  devicePath[4 + length] = 0;
  // No sharing: a port another program holds fails to open. No flags, so
  // every read and write is synchronous.
  return CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

BOOL PortGetCommState(HANDLE port, DCB* dcb) { return GetCommState(port, dcb); }

BOOL PortSetCommState(HANDLE port, const DCB* dcb) {
  // SetCommState only reads the DCB; its prototype lacks the const.
  return SetCommState(port, const_cast<DCB*>(dcb));
}

BOOL PortRestoreCommState(HANDLE port, const DCB* saved) { return PortSetCommState(port, saved); }

BOOL PortGetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
  return GetCommTimeouts(port, timeouts);
}

BOOL PortSetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  return SetCommTimeouts(port, const_cast<COMMTIMEOUTS*>(timeouts));
}

BOOL PortPurgeComm(HANDLE port, DWORD flags) { return PurgeComm(port, flags); }

BOOL PortGetCommModemStatus(HANDLE port, DWORD* status) {
  return GetCommModemStatus(port, status);
}

BOOL PortReadFile(HANDLE port, BYTE* buffer, DWORD size, DWORD* count) {
  return ReadFile(port, buffer, size, count, NULL);
}

BOOL PortWriteFile(HANDLE port, const BYTE* bytes, DWORD size, DWORD* count) {
  return WriteFile(port, bytes, size, count, NULL);
}

BOOL PortConfirmExclusive(HANDLE) { return TRUE; }

void PortSetStopCheck(bool (*)()) {}

BOOL PortCloseHandle(HANDLE port) { return CloseHandle(port); }

void PortSleep(DWORD milliseconds) { Sleep(milliseconds); }

DWORD PortGetLastError() { return GetLastError(); }

// Windows tells who holds a port no more than that it is held.
void PortGetOpenDetail(PortOpenDetail* detail) { ZeroMemory(detail, sizeof *detail); }

// Longer names than this are cut by the write sequence and not probed.
extern const DWORD PortNameMax = 16;

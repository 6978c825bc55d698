// The serial port link over the port operations seam: open, save and restore
// settings, line profiles, timeout sets, and the three I/O operations.
#include "serial/serial_link.h"

#include <cstring>

#include "serial/port_ops.h"

BYTE ReceiveBuffer[ReceiveBufferSize];

namespace {

const DWORD LineBaudRate = 38400;
const BYTE LineByteSize = 8;
const DWORD WriteMsPerByte = 2;
const DWORD WriteSetConstantMs = 5000;
const DWORD ProbeSetConstantMs = 4000;

}  // namespace

DWORD PortNameLimit() { return PortNameMax < PortNameCapacity ? PortNameMax : PortNameCapacity; }

bool PortNameFits(const Utf16Unit* portName) {
  DWORD limit = PortNameLimit();
  DWORD length = 0;
  while (length <= limit && portName[length] != 0) ++length;
  return length <= limit;
}

void SetLineProfileFields(DCB* dcb, LineProfile profile) {
  dcb->BaudRate = LineBaudRate;
  dcb->ByteSize = LineByteSize;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->fParity = 0;
  // The write profile lets output wait for CTS, so a module that holds CTS
  // down ends a write by its timeout; the probe looks at CTS itself instead.
  dcb->fOutxCtsFlow = profile == WRITE_PROFILE ? 1 : 0;
  dcb->fOutxDsrFlow = 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fDsrSensitivity = 0;
  dcb->fOutX = 0;
  dcb->fInX = 0;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

COMMTIMEOUTS TimeoutSetFor(TimeoutSet set) {
  // MAXDWORD with zero read totals: a read returns at once with whatever has
  // arrived. All waiting for the module is done by ReadReply's own pauses.
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = WriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant =
      set == WRITE_TIMEOUTS ? WriteSetConstantMs : ProbeSetConstantMs;
  return timeouts;
}

bool OpenPort(const Utf16Unit* portName, SerialLink* link) {
  std::memset(link, 0, sizeof *link);
  link->receiveBuffer = ReceiveBuffer;
  link->handle = PortCreateFile(portName);
  if (link->handle != INVALID_HANDLE_VALUE) return true;
  link->lastError = PortGetLastError();
  return false;
}

bool OpenPortToWrite(const Utf16Unit* portName, SerialLink* link) {
  if (!OpenPort(portName, link)) return false;
  if (PortConfirmExclusive(link->handle)) return true;
  link->lastError = PortGetLastError();
  PortCloseHandle(link->handle);
  link->handle = INVALID_HANDLE_VALUE;
  return false;
}

bool SaveLineSettings(SerialLink* link) {
  std::memset(&link->workingDcb, 0, sizeof link->workingDcb);
  if (!PortGetCommState(link->handle, &link->workingDcb)) {
    link->lastError = PortGetLastError();
    return false;
  }
  link->savedDcb = link->workingDcb;
  return true;
}

bool SaveTimeouts(SerialLink* link) {
  std::memset(&link->savedTimeouts, 0, sizeof link->savedTimeouts);
  return PortGetCommTimeouts(link->handle, &link->savedTimeouts) != FALSE;
}

bool ApplyLineProfile(SerialLink* link, LineProfile profile) {
  SetLineProfileFields(&link->workingDcb, profile);
  return PortSetCommState(link->handle, &link->workingDcb) != FALSE;
}

bool ApplyTimeouts(SerialLink* link, TimeoutSet set) {
  COMMTIMEOUTS timeouts = TimeoutSetFor(set);
  return PortSetCommTimeouts(link->handle, &timeouts) != FALSE;
}

void PurgePort(SerialLink* link) {
  PortPurgeComm(link->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

bool IsCtsUp(SerialLink* link) {
  // A failed call leaves the word at 0, which reads as CTS down.
  DWORD status = 0;
  PortGetCommModemStatus(link->handle, &status);
  return (status & MS_CTS_ON) != 0;
}

bool WriteExact(SerialLink* link, const BYTE* bytes, DWORD n) {
  DWORD written = 0;
  if (!PortWriteFile(link->handle, bytes, n, &written)) return false;
  return written == n;
}

bool DrainInput(SerialLink* link) {
  // The first read's count is not looked at: draining ends at the first empty
  // read after it, so at least two reads are always made.
  DWORD count = 0;
  if (!PortReadFile(link->handle, link->receiveBuffer, DrainReadSize, &count)) return false;
  do {
    count = 0;
    if (!PortReadFile(link->handle, link->receiveBuffer, DrainReadSize, &count)) return false;
  } while (count > 0);
  return true;
}

bool ReadReply(SerialLink* link, DWORD minimumCount, DWORD* count) {
  // The module gets 50 empty polls 100 ms apart to start answering, and the
  // same allowance again after every piece that arrives.
  *count = 0;
  DWORD silentPolls = 0;
  while (*count < ReceiveBufferSize) {
    DWORD got = 0;
    if (!PortReadFile(link->handle, link->receiveBuffer + *count, ReceiveBufferSize - *count, &got))
      return false;
    if (got > 0) {
      *count += got;
      if (*count >= minimumCount) return true;
      PortSleep(ReplyPiecePauseMs);
      silentPolls = 0;
      continue;
    }
    PortSleep(ReplyPollIntervalMs);
    if (++silentPolls >= ReplySilentPolls) return true;
    if (link->stopRequested != nullptr && link->stopRequested()) return true;
  }
  return true;
}

void RestoreLineSettings(SerialLink* link) { PortRestoreCommState(link->handle, &link->savedDcb); }

void RestoreTimeouts(SerialLink* link) { PortSetCommTimeouts(link->handle, &link->savedTimeouts); }

void ClosePort(SerialLink* link) { PortCloseHandle(link->handle); }

PortFailure ClassifyOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PORT_MISSING;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PORT_BUSY;
    // A directory, a socket, a file: something that is no serial device.
    case ERROR_INVALID_FUNCTION:
      return PORT_NOT_SERIAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return PORT_NAME_TOO_LONG;
    // The system console or the program's own terminal (POSIX).
    case ERROR_DEVICE_IN_USE:
      return PORT_TERMINAL_IN_USE;
    case ERROR_OPERATION_ABORTED:
      return PORT_STOPPED;
    // Windows answers a port another program holds with access denied too.
    case ERROR_ACCESS_DENIED:
      return PORT_ACCESS_DENIED;
    default:
      return PORT_UNUSABLE;
  }
}

// The serial port link over the port operations seam: open, save and restore
// settings, line profiles, timeout sets, and the three I/O operations.
#include "serial/serial_link.h"

#include <cstring>

#include "serial/port_ops.h"

// Without \\.\ ports from COM10 upwards cannot be opened.
const Utf16Unit DevicePathPrefix[DEVICE_PATH_PREFIX_LENGTH + 1] = u"\\\\.\\";

BYTE ReceiveBuffer[RECEIVE_BUFFER_SIZE];

namespace {

const DWORD LINE_BAUD_RATE = 38400;
const BYTE LINE_BYTE_SIZE = 8;
const DWORD WRITE_MS_PER_BYTE = 2;
const DWORD WRITE_SET_CONSTANT_MS = 5000;
const DWORD PROBE_SET_CONSTANT_MS = 4000;

}  // namespace

void SetLineProfileFields(DCB* dcb, LineProfile profile) {
  dcb->BaudRate = LINE_BAUD_RATE;
  dcb->ByteSize = LINE_BYTE_SIZE;
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
  timeouts.WriteTotalTimeoutMultiplier = WRITE_MS_PER_BYTE;
  timeouts.WriteTotalTimeoutConstant =
      set == WRITE_TIMEOUTS ? WRITE_SET_CONSTANT_MS : PROBE_SET_CONSTANT_MS;
  return timeouts;
}

bool OpenPort(const Utf16Unit* devicePath, SerialLink* link) {
  std::memset(link, 0, sizeof *link);
  link->handle = PortCreateFile(devicePath);
  return link->handle != INVALID_HANDLE_VALUE;
}

bool SaveLineSettings(SerialLink* link) {
  std::memset(&link->workingDcb, 0, sizeof link->workingDcb);
  if (!PortGetCommState(link->handle, &link->workingDcb)) return false;
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
  if (!PortReadFile(link->handle, ReceiveBuffer, DRAIN_READ_SIZE, &count)) return false;
  do {
    count = 0;
    if (!PortReadFile(link->handle, ReceiveBuffer, DRAIN_READ_SIZE, &count)) return false;
  } while (count > 0);
  return true;
}

bool ReadReply(SerialLink* link, DWORD minimumCount, DWORD* count) {
  // The module gets 50 empty polls 100 ms apart to start answering, and the
  // same allowance again after every piece that arrives.
  *count = 0;
  DWORD silentPolls = 0;
  while (*count < RECEIVE_BUFFER_SIZE) {
    DWORD got = 0;
    if (!PortReadFile(link->handle, ReceiveBuffer + *count, RECEIVE_BUFFER_SIZE - *count, &got))
      return false;
    if (got > 0) {
      *count += got;
      if (*count >= minimumCount) return true;
      PortSleep(REPLY_PIECE_PAUSE_MS);
      silentPolls = 0;
      continue;
    }
    PortSleep(REPLY_POLL_INTERVAL_MS);
    if (++silentPolls >= REPLY_SILENT_POLLS) return true;
  }
  return true;
}

void RestoreLineSettings(SerialLink* link) { PortSetCommState(link->handle, &link->savedDcb); }

void RestoreTimeouts(SerialLink* link) { PortSetCommTimeouts(link->handle, &link->savedTimeouts); }

void ClosePort(SerialLink* link) { PortCloseHandle(link->handle); }

// The display probe: puts the port into the probe's settings, asks the module
// to enter set-up mode, leaves it again at once, and puts the port back.
#include "discovery/display_probe.h"

#include <cstring>

#include "protocol/display_protocol.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"

namespace {

// DTR and RTS have just been raised by the line profile; a module that is
// there and powered answers with CTS within this time.
const DWORD CTS_SETTLE_MS = 10;
// Lets the module take in the exit command before the port is closed and
// its lines drop.
const DWORD EXIT_SETTLE_MS = 50;

// \\.\ followed by the name, in the probe's own zeroed buffer. A name longer
// than 16 characters is not probed at all: cut short it could name a
// different port (COM12345678901234567 would become COM1234567890123).
bool BuildProbeDevicePath(const Utf16Unit* portName, Utf16Unit* devicePath) {
  std::memset(devicePath, 0, PROBE_DEVICE_PATH_UNITS * sizeof(Utf16Unit));
  DWORD length = 0;
  while (length <= PORT_NAME_MAX && portName[length] != 0) ++length;
  if (length > PORT_NAME_MAX) return false;
  std::memcpy(devicePath, DevicePathPrefix, DEVICE_PATH_PREFIX_LENGTH * sizeof(Utf16Unit));
  std::memcpy(devicePath + DEVICE_PATH_PREFIX_LENGTH, portName, length * sizeof(Utf16Unit));
  return true;
}

// Keeps both settings for the restore and applies the probe timeouts. When
// this fails nothing on the port has been changed, so closing is enough.
bool SaveSettingsAndApplyTimeouts(SerialLink* link) {
  return SaveLineSettings(link) && SaveTimeouts(link) && ApplyTimeouts(link, PROBE_TIMEOUTS);
}

// Enters set-up mode and leaves it again whatever came back, so that a
// display is never left in set-up mode by the probe.
bool AnswersEnterSetupMode(SerialLink* link) {
  PortSleep(CTS_SETTLE_MS);
  if (!IsCtsUp(link)) return false;
  if (!WriteExact(link, EnterSetupMode, sizeof EnterSetupMode)) return false;
  DWORD count = 0;
  if (!ReadReply(link, STATUS_REPLY_LENGTH, &count)) return false;
  WriteExact(link, ExitSetupMode, sizeof ExitSetupMode);
  PortSleep(EXIT_SETTLE_MS);
  return IsStatusReply(count, ReceiveBuffer, FUNCTION_ENTER_SETUP);
}

}  // namespace

bool ProbeDisplay(const Utf16Unit* portName) {
  Utf16Unit devicePath[PROBE_DEVICE_PATH_UNITS];
  if (!BuildProbeDevicePath(portName, devicePath)) return false;
  SerialLink link;
  if (!OpenPort(devicePath, &link)) return false;
  if (!SaveSettingsAndApplyTimeouts(&link)) {
    ClosePort(&link);
    return false;
  }
  // The purge empties the receive side, so nothing is drained before the
  // command: whatever the module said earlier cannot pass for its answer.
  PurgePort(&link);
  bool answered = ApplyLineProfile(&link, PROBE_PROFILE) && AnswersEnterSetupMode(&link);
  RestoreLineSettings(&link);
  RestoreTimeouts(&link);
  ClosePort(&link);
  return answered;
}

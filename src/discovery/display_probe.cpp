// The display probe: puts the port into the probe's settings, asks the module
// to enter set-up mode, leaves it again at once, and puts the port back.
#include "discovery/display_probe.h"

#include "protocol/display_protocol.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"

namespace {

// DTR and RTS have just been raised by the line profile; a module that is
// there and powered answers with CTS within this time.
const DWORD CtsSettleMs = 10;
// Lets the module take in the exit command before the port is closed and
// its lines drop.
const DWORD ExitSettleMs = 50;

ProbeVerdict VerdictForOpenFailure(DWORD error) {
  switch (ClassifyOpenError(error)) {
    case PORT_MISSING: return PROBE_MISSING;
    case PORT_BUSY: return PROBE_BUSY;
    case PORT_ACCESS_DENIED: return PROBE_ACCESS_DENIED;
    case PORT_NOT_SERIAL: return PROBE_NOT_SERIAL;
    case PORT_NAME_TOO_LONG: return PROBE_NAME_TOO_LONG;
    case PORT_TERMINAL_IN_USE: return PROBE_TERMINAL_IN_USE;
    case PORT_STOPPED: return PROBE_STOPPED;
    default: return PROBE_UNUSABLE;
  }
}

bool IsStopRequested(StopCheck stopRequested) { return stopRequested != nullptr && stopRequested(); }

// Keeps both settings for the restore and applies the probe timeouts. When
// this fails nothing on the port has been changed, so closing is enough.
ProbeVerdict SaveSettingsAndApplyTimeouts(SerialLink* link) {
  if (!SaveLineSettings(link)) return PROBE_NOT_SERIAL;
  if (!SaveTimeouts(link) || !ApplyTimeouts(link, PROBE_TIMEOUTS)) return PROBE_UNUSABLE;
  return PROBE_FOUND;
}

// Enters set-up mode and leaves it again whatever came back, so that a
// display is never left in set-up mode by the probe.
ProbeVerdict AskToEnterSetupMode(SerialLink* link) {
  PortSleep(CtsSettleMs);
  if (!IsCtsUp(link)) return PROBE_CTS_DOWN;
  if (IsStopRequested(link->stopRequested)) return PROBE_STOPPED;
  if (!WriteExact(link, EnterSetupMode, sizeof EnterSetupMode)) return PROBE_NO_ANSWER;
  DWORD count = 0;
  if (!ReadReply(link, StatusReplyLength, &count)) return PROBE_NO_ANSWER;
  WriteExact(link, ExitSetupMode, sizeof ExitSetupMode);
  PortSleep(ExitSettleMs);
  if (IsStatusReply(count, link->receiveBuffer, FunctionEnterSetup)) return PROBE_FOUND;
  if (count == 0 && IsStopRequested(link->stopRequested)) return PROBE_STOPPED;
  return count == 0 ? PROBE_NO_ANSWER : PROBE_WRONG_ANSWER;
}

}  // namespace

ProbeVerdict ProbePort(const Utf16Unit* portName, BYTE* receiveBuffer, StopCheck stopRequested) {
  // A name longer than the platform takes is not probed at all: cut short it
  // could name a different port (COM12345678901234567 would become
  // COM1234567890123).
  if (!PortNameFits(portName)) return PROBE_NAME_TOO_LONG;
  if (IsStopRequested(stopRequested)) return PROBE_STOPPED;
  SerialLink link;
  if (!OpenPort(portName, &link)) return VerdictForOpenFailure(link.lastError);
  link.receiveBuffer = receiveBuffer;
  link.stopRequested = stopRequested;
  ProbeVerdict verdict = SaveSettingsAndApplyTimeouts(&link);
  if (verdict != PROBE_FOUND) {
    ClosePort(&link);
    return verdict;
  }
  // The purge empties the receive side, so nothing is drained before the
  // command: whatever the module said earlier cannot pass for its answer.
  PurgePort(&link);
  verdict = ApplyLineProfile(&link, PROBE_PROFILE) ? AskToEnterSetupMode(&link) : PROBE_UNUSABLE;
  RestoreLineSettings(&link);
  RestoreTimeouts(&link);
  ClosePort(&link);
  return verdict;
}

bool ProbeDisplay(const Utf16Unit* portName) {
  return ProbePort(portName, ReceiveBuffer, nullptr) == PROBE_FOUND;
}

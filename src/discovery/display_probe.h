// Does a display module answer on this port? Silent towards the operator;
// the port's line settings and timeouts are put back whatever the outcome.
#ifndef VFD_DISPLAY_PROBE_H
#define VFD_DISPLAY_PROBE_H

#include "win_types.h"

// What one probe found, in the order the probe finds it out.
enum ProbeVerdict {
  PROBE_FOUND,          // the module answered 28 65 01 00
  PROBE_MISSING,        // no such port
  PROBE_NAME_TOO_LONG,  // longer than the platform's port names: never cut short
  PROBE_BUSY,           // another program holds it
  PROBE_ACCESS_DENIED,  // no permission (on Windows also: another program holds it)
  PROBE_NOT_SERIAL,     // no serial device
  PROBE_UNUSABLE,       // it opened, but refused the probe's settings
  PROBE_CTS_DOWN,       // nothing there to answer
  PROBE_NO_ANSWER,      // CTS up, but silence (or a failed read or write)
  PROBE_WRONG_ANSWER,   // something answered, but not the module's reply
  PROBE_STOPPED,        // a stop request ended the probe before an answer came
  PROBE_TERMINAL_IN_USE,  // the system console or this program's own terminal: never probed
};

// Asked between the probe's steps; true ends the probe at its next step,
// with the port put back as it was found.
typedef bool (*StopCheck)();

// The dialog's probe: reads land in the process-wide ReceiveBuffer.
bool ProbeDisplay(const Utf16Unit* portName);

// The same steps with a receive buffer of the caller's (ReceiveBufferSize
// bytes), so that probes of different ports can run at the same time, and a
// stop check (null: none).
ProbeVerdict ProbePort(const Utf16Unit* portName, BYTE* receiveBuffer, StopCheck stopRequested);

#endif  // VFD_DISPLAY_PROBE_H

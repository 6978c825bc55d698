// The serial port link: open a port, keep its settings so they can be put
// back, apply a line profile and a timeout set, and the I/O everything above
// relies on (DrainInput, ReadReply, WriteExact).
#ifndef VFD_SERIAL_LINK_H
#define VFD_SERIAL_LINK_H

#include "win_types.h"

// The longest port name a link takes (no platform's PortNameMax is larger).
const DWORD PortNameCapacity = 255;

const DWORD ReceiveBufferSize = 4096;
const DWORD DrainReadSize = 64;
const DWORD ReplyPollIntervalMs = 100;
const DWORD ReplyPiecePauseMs = 1;
const DWORD ReplySilentPolls = 50;

// Every read of the dialog's exchanges lands here, a new reply always at
// offset 0. Probes that run side by side each bring their own buffer.
extern BYTE ReceiveBuffer[ReceiveBufferSize];

struct SerialLink {
  HANDLE handle;
  DCB savedDcb;                    // exactly as GetCommState returned it
  DCB workingDcb;                  // the saved copy with a profile applied
  COMMTIMEOUTS savedTimeouts;      // the probe only
  BYTE* receiveBuffer;             // ReceiveBufferSize bytes; ReceiveBuffer unless changed
  DWORD lastError;                 // the platform's code when open or save failed
  // Null, or asked at every empty poll of ReadReply: true ends the wait as
  // if the module had stayed silent. The dialog never sets it.
  bool (*stopRequested)();
};

enum LineProfile { PROBE_PROFILE, WRITE_PROFILE };
enum TimeoutSet { PROBE_TIMEOUTS, WRITE_TIMEOUTS };

// Why a port could not be used, from the platform's error code.
enum PortFailure {
  PORT_MISSING,
  PORT_BUSY,
  PORT_ACCESS_DENIED,
  PORT_NOT_SERIAL,
  PORT_UNUSABLE,
  PORT_NAME_TOO_LONG,
  PORT_TERMINAL_IN_USE,   // the system console, or this program's own terminal
  PORT_STOPPED,           // a stop request ended the open's wait (PortSetStopCheck)
};

// The longest name the platform's ports take: PortNameMax (port_ops.h), at
// most PortNameCapacity.
DWORD PortNameLimit();
// The name has at most PortNameLimit() units: a longer one is never cut
// short, as that could name another port.
bool PortNameFits(const Utf16Unit* portName);

// Profile and timeout-set application on plain records (no I/O).
void SetLineProfileFields(DCB* dcb, LineProfile profile);
COMMTIMEOUTS TimeoutSetFor(TimeoutSet set);

// Opens with ReceiveBuffer as the link's buffer.
bool OpenPort(const Utf16Unit* portName, SerialLink* link);
// OpenPort for a record: the port is closed again, with the open's error,
// when another program opened it meanwhile (PortConfirmExclusive).
bool OpenPortToWrite(const Utf16Unit* portName, SerialLink* link);
bool SaveLineSettings(SerialLink* link);
bool SaveTimeouts(SerialLink* link);
bool ApplyLineProfile(SerialLink* link, LineProfile profile);
bool ApplyTimeouts(SerialLink* link, TimeoutSet set);
void PurgePort(SerialLink* link);
bool IsCtsUp(SerialLink* link);
bool WriteExact(SerialLink* link, const BYTE* bytes, DWORD n);
bool DrainInput(SerialLink* link);
// Returns false on a read error; *count is the number of bytes now in the
// link's receive buffer (meaningful also when no error).
bool ReadReply(SerialLink* link, DWORD minimumCount, DWORD* count);
// The saved line settings back, through the port seam's own restore.
void RestoreLineSettings(SerialLink* link);
void RestoreTimeouts(SerialLink* link);
void ClosePort(SerialLink* link);

// A failed OpenPort's code (link->lastError); a failed SaveLineSettings means
// the device is no serial port at all.
PortFailure ClassifyOpenError(DWORD error);

#endif  // VFD_SERIAL_LINK_H

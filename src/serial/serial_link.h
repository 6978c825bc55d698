// The serial port link: open a port, keep its settings so they can be put
// back, apply a line profile and a timeout set, and the I/O everything above
// relies on (DrainInput, ReadReply, WriteExact).
#ifndef VFD_SERIAL_LINK_H
#define VFD_SERIAL_LINK_H

#include "win_types.h"

const DWORD PORT_NAME_MAX = 16;                     // characters of a port name
const DWORD DEVICE_PATH_PREFIX_LENGTH = 4;          // \\.\ (backslash, backslash, dot, backslash)
extern const Utf16Unit DevicePathPrefix[DEVICE_PATH_PREFIX_LENGTH + 1];

// \\.\ followed by the port name. The dialog keeps one of 32 units, the probe
// one of 22 (prefix, 16 characters, terminator).
const DWORD DIALOG_DEVICE_PATH_UNITS = 32;
const DWORD PROBE_DEVICE_PATH_UNITS = DEVICE_PATH_PREFIX_LENGTH + PORT_NAME_MAX + 2;

struct SerialLink {
  HANDLE handle;
  DCB savedDcb;                    // exactly as GetCommState returned it
  DCB workingDcb;                  // the saved copy with a profile applied
  COMMTIMEOUTS savedTimeouts;      // the probe only
};

enum LineProfile { PROBE_PROFILE, WRITE_PROFILE };
enum TimeoutSet { PROBE_TIMEOUTS, WRITE_TIMEOUTS };

const DWORD RECEIVE_BUFFER_SIZE = 4096;
const DWORD DRAIN_READ_SIZE = 64;
const DWORD REPLY_POLL_INTERVAL_MS = 100;
const DWORD REPLY_PIECE_PAUSE_MS = 1;
const DWORD REPLY_SILENT_POLLS = 50;

// Every read from a port lands here, a new reply always at offset 0.
extern BYTE ReceiveBuffer[RECEIVE_BUFFER_SIZE];

// Profile and timeout-set application on plain records (no I/O).
void SetLineProfileFields(DCB* dcb, LineProfile profile);
COMMTIMEOUTS TimeoutSetFor(TimeoutSet set);

bool OpenPort(const Utf16Unit* devicePath, SerialLink* link);
bool SaveLineSettings(SerialLink* link);
bool SaveTimeouts(SerialLink* link);
bool ApplyLineProfile(SerialLink* link, LineProfile profile);
bool ApplyTimeouts(SerialLink* link, TimeoutSet set);
void PurgePort(SerialLink* link);
bool IsCtsUp(SerialLink* link);
bool WriteExact(SerialLink* link, const BYTE* bytes, DWORD n);
bool DrainInput(SerialLink* link);
// Returns false on a read error; *count is the number of bytes now in
// ReceiveBuffer (meaningful also when no error).
bool ReadReply(SerialLink* link, DWORD minimumCount, DWORD* count);
void RestoreLineSettings(SerialLink* link);
void RestoreTimeouts(SerialLink* link);
void ClosePort(SerialLink* link);

#endif  // VFD_SERIAL_LINK_H

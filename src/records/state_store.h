// What a job knows a device's module holds: the module cannot be read back,
// so after a confirmed record the job keeps, per device, the record's bytes
// and the product type, to skip a write that would change nothing
// (--if-changed). One small file per device. The state is dropped before a
// record is sent and written only after the module confirmed it, so that no
// interruption, not even a power cut, leaves a state naming a record the
// module may not hold.
#ifndef VFD_RECORDS_STATE_STORE_H
#define VFD_RECORDS_STATE_STORE_H

#include <string>

#include "protocol/display_protocol.h"
#include "records/port_identity.h"

struct PortState {
  std::string stateKey;      // the device's (PortIdentity::stateKey)
  std::string port;          // UTF-8, the name it was written through
  std::string productType;   // as the module reported it
  StartupMessageRecord record;
  std::string attachment;    // the device's (PortIdentity::attachment) when the module confirmed
  long long writtenAt = 0;   // seconds since 1970 (UTC) when the module confirmed it; 0: not known
  std::string command;       // the command that stored it ("write", "apply"); empty: not known
};

// The module cannot be asked what it holds, so a state tells what the module
// holds only while the device is still the attachment the state was written
// on: a display swapped or plugged in again, or a new boot, is written again.
bool KeptStateCounts(const PortState& state, const PortIdentity& port);

enum StateRead { STATE_FOUND, STATE_NONE, STATE_DAMAGED };

// STATE_NONE when no state is kept for the device; STATE_DAMAGED (with a
// reason) when its file cannot be read, is no regular file, or does not hold
// a whole state of this device.
StateRead ReadPortState(const std::string& stateDir, const std::string& stateKey, PortState* state,
                        std::string* reason);

// Replaces the device's state: a new file, synced, renamed over the old one.
bool WritePortState(const std::string& stateDir, const PortState& state, std::string* reason);

// Drops the device's state. True when nothing is left behind.
bool ForgetPortState(const std::string& stateDir, const std::string& stateKey, std::string* reason);
// Whether ForgetPortState would drop it, without dropping it.
bool CanForgetPortState(const std::string& stateDir, const std::string& stateKey, std::string* reason);

// The file that holds a device's state: "vfd-", the key with every byte but
// letters, digits, '-', '_' and '.' written as %XX (so two keys never share a
// file), and ".state". No such name is a reserved device name on Windows.
std::string StateFileName(const std::string& stateKey);
// The same name with another suffix, for the device's other files (".last"),
// and back: the key a name of that suffix was made of (false for any other
// name).
std::string DeviceFileName(const std::string& stateKey, const std::string& suffix);
bool KeyOfDeviceFileName(const std::string& name, const std::string& suffix, std::string* stateKey);

// Upper-case hex of the 128 bytes, and back (false for anything else).
std::string RecordHex(const StartupMessageRecord& record);
bool ParseRecordHex(const std::string& hex, StartupMessageRecord* record);
// A count of seconds as the state and last-run files write it: decimal
// digits, no sign, no leading zero.
bool ParseSecondsText(const std::string& text, long long* seconds);

#endif  // VFD_RECORDS_STATE_STORE_H

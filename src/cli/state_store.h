// What the console program knows a port's module holds: the module cannot
// be read back, so after a confirmed record the program keeps, per port, the
// record's bytes and the product type, to skip a write that would change
// nothing (--if-changed). One small file per port, replaced atomically.
#ifndef VFD_CLI_STATE_STORE_H
#define VFD_CLI_STATE_STORE_H

#include <string>

#include "protocol/display_protocol.h"

struct PortState {
  std::string port;          // UTF-8, as given or listed
  std::string productType;   // as the module reported it
  StartupMessageRecord record;
};

enum StateRead { STATE_FOUND, STATE_NONE, STATE_DAMAGED };

// STATE_NONE when no state was kept for the port; STATE_DAMAGED (with a
// reason) when the file cannot be read or does not hold a whole state.
StateRead ReadPortState(const std::string& stateDir, const std::string& port, PortState* state,
                        std::string* reason);

// Writes a temporary file beside the state and renames it over the state,
// so that a crash leaves the old state or the new one, never half of one.
bool WritePortState(const std::string& stateDir, const PortState& state, std::string* reason);

// Forgets the port's state: after an unconfirmed write nobody knows what
// the module holds. True when nothing is left behind.
bool ForgetPortState(const std::string& stateDir, const std::string& port, std::string* reason);

// The file that holds a port's state: the port name with every character
// but letters, digits, '-' and '.' replaced by '_', and ".state".
std::string StateFileName(const std::string& port);

// Upper-case hex of the 128 bytes, and back (false for anything else).
std::string RecordHex(const StartupMessageRecord& record);
bool ParseRecordHex(const std::string& hex, StartupMessageRecord* record);

#endif  // VFD_CLI_STATE_STORE_H

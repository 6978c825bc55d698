// The emulated display module: its user set-up mode command parser, its
// stored startup message record, and the faults a test can switch on. Pure
// logic without I/O, so that the pty side and the tests share it.
#ifndef VFD_EMULATOR_DEVICE_H
#define VFD_EMULATOR_DEVICE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol_expected.h"

typedef std::vector<uint8_t> Bytes;

typedef std::array<uint8_t, expected::RecordSize> Record;

enum class FaultMode {
  Normal,        // answers exactly as the module does
  Silent,        // never answers
  Garbage,       // every reply replaced by the garbage bytes
  Split,         // replies cut into pieces with a pause between them
  Trickle,       // replies sent one byte at a time, slowly
  ExtraByte,     // one more byte after every reply
  NoConfirm,     // the record is stored but not confirmed
  ShortConfirm,  // the confirmation lacks its status byte
  BadConfirm,    // the confirmation carries the bad-confirm bytes
  CtsDown,       // CTS reads down; with CTS handshake on nothing arrives
  Hangup,        // the line hangs up in the middle of the record
  BadEnter,      // the enter command is answered with the bad-enter bytes
  BadQuery,      // the query is answered with the bad-query bytes
};
const int FaultModeCount = static_cast<int>(FaultMode::BadQuery) + 1;

struct FaultSettings {
  FaultMode mode = FaultMode::Normal;
  Bytes garbage;                  // Garbage: sent instead of each reply
  size_t splitSize = 2;           // Split: bytes per piece
  unsigned splitDelayMs = 300;    // Split: pause between pieces
  unsigned trickleDelayMs = 100;  // Trickle: pause between bytes
  uint8_t extraByte = 0x00;       // ExtraByte: the byte
  unsigned extraDelayMs = 0;      // ExtraByte: 0 = in the same write as the reply
  Bytes badConfirm;               // BadConfirm: sent instead of 28 65 32 00
  Bytes badEnter;                 // BadEnter: sent instead of 28 65 01 00
  Bytes badQuery;                 // BadQuery: sent instead of 28 65 40 and the product type
  size_t hangupAfter = 64;        // Hangup: record bytes received, 1..127
  Bytes productType;              // sent after 28 65 40, as given
  unsigned replyDelayMs = 0;      // pause before every reply, in every mode
};

struct DeviceState {
  bool setupMode = false;
  bool collectingRecord = false;
  Bytes pending;  // the command being assembled, or 1F 28 65 32 + record bytes
  Record record;
  FaultSettings faults;
};

enum class ActionKind {
  Command,       // a command was recognised: name, accepted
  Send,          // bytes to send after delayMs (from the moment of the feed)
  RecordStored,  // the record was replaced; its bytes are in state.record
  Ignored,       // bytes that are no command (or a command cut by resync)
  Hangup,        // close the line now; the rest of the chunk is lost
};

struct DeviceAction {
  ActionKind kind;
  std::string name;   // Command: enter, query, write, exit
  bool accepted = false;  // Command: false outside set-up mode
  Bytes bytes;        // Send, Ignored
  unsigned delayMs = 0;   // Send
};

Record ModuleFactoryRecord();
Bytes DefaultProductType();
FaultSettings DefaultFaults();
DeviceState NewDevice(const Record& record);

// Feeds received bytes through the parser; returns what happened, in order.
std::vector<DeviceAction> FeedDevice(DeviceState& state, const uint8_t* bytes, size_t count);

// Drops a half-received command (the port was closed or hung up); returns
// the dropped bytes.
Bytes DiscardPartialCommand(DeviceState& state);

// The module after a power cycle: set-up mode left, parser empty.
void PowerCycleDevice(DeviceState& state);

const char* FaultModeName(FaultMode mode);

#endif

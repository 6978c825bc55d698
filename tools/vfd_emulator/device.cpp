#include "device.h"

#include <algorithm>

namespace {

struct CommandShape {
  const char* name;
  Bytes bytes;
};

// Every command starts 1F 28 65 and a function byte; the write command is
// followed by the 128-byte record, which is collected separately.
const std::vector<CommandShape>& CommandShapes() {
  static const std::vector<CommandShape> shapes = {
      {"enter", expected::EnterCommand},
      {"query", expected::QueryCommand},
      {"write", expected::WriteCommand},
      {"exit", expected::ExitCommand},
  };
  return shapes;
}

bool IsPrefixOf(const Bytes& pending, const Bytes& command) {
  return pending.size() <= command.size() &&
         std::equal(pending.begin(), pending.end(), command.begin());
}

bool IsPrefixOfAnyCommand(const Bytes& pending) {
  for (const CommandShape& shape : CommandShapes()) {
    if (IsPrefixOf(pending, shape.bytes)) return true;
  }
  return false;
}

const CommandShape* CompleteCommand(const Bytes& pending) {
  for (const CommandShape& shape : CommandShapes()) {
    if (pending == shape.bytes) return &shape;
  }
  return nullptr;
}

void AddSend(std::vector<DeviceAction>& actions, Bytes bytes, unsigned delayMs) {
  DeviceAction action{ActionKind::Send, "", false, std::move(bytes), delayMs};
  actions.push_back(action);
}

// Turns one reply of the module into the pieces the current fault mode sends.
void AddReply(const FaultSettings& faults, const Bytes& reply, std::vector<DeviceAction>& actions) {
  unsigned at = faults.replyDelayMs;
  switch (faults.mode) {
    case FaultMode::Silent:
      return;
    case FaultMode::Garbage:
      AddSend(actions, faults.garbage, at);
      return;
    case FaultMode::Split:
    case FaultMode::Trickle: {
      bool split = faults.mode == FaultMode::Split;
      size_t size = split ? std::max<size_t>(1, faults.splitSize) : 1;
      unsigned pause = split ? faults.splitDelayMs : faults.trickleDelayMs;
      for (size_t i = 0; i < reply.size(); i += size, at += pause) {
        size_t end = std::min(reply.size(), i + size);
        AddSend(actions, Bytes(reply.begin() + i, reply.begin() + end), at);
      }
      return;
    }
    case FaultMode::ExtraByte:
      if (faults.extraDelayMs == 0) {
        Bytes withExtra = reply;
        withExtra.push_back(faults.extraByte);
        AddSend(actions, withExtra, at);
      } else {
        AddSend(actions, reply, at);
        AddSend(actions, Bytes{faults.extraByte}, at + faults.extraDelayMs);
      }
      return;
    default:
      AddSend(actions, reply, at);
      return;
  }
}

Bytes ConfirmationFor(const FaultSettings& faults, bool& send) {
  send = true;
  switch (faults.mode) {
    case FaultMode::NoConfirm:
      send = false;
      return {};
    case FaultMode::ShortConfirm:
      return Bytes(expected::WriteConfirmed.begin(), expected::WriteConfirmed.end() - 1);
    case FaultMode::BadConfirm:
      return faults.badConfirm;
    default:
      return expected::WriteConfirmed;
  }
}

Bytes EnterReply(const FaultSettings& faults) {
  return faults.mode == FaultMode::BadEnter ? faults.badEnter : expected::EnterAccepted;
}

Bytes QueryReply(const FaultSettings& faults) {
  if (faults.mode == FaultMode::BadQuery) return faults.badQuery;
  return expected::Concat({expected::ProductTypeLead, faults.productType});
}

void HandleCommand(DeviceState& state, const CommandShape& shape, std::vector<DeviceAction>& actions) {
  std::string name = shape.name;
  bool accepted = name == "enter" || state.setupMode;
  actions.push_back(DeviceAction{ActionKind::Command, name, accepted, {}, 0});
  if (!accepted) return;
  if (name == "enter") {
    state.setupMode = true;
    AddReply(state.faults, EnterReply(state.faults), actions);
  } else if (name == "query") {
    AddReply(state.faults, QueryReply(state.faults), actions);
  } else if (name == "write") {
    state.collectingRecord = true;
    return;  // keep the four command bytes; the record follows them
  } else {
    state.setupMode = false;  // exit: the module sends nothing back
  }
}

void FinishRecord(DeviceState& state, std::vector<DeviceAction>& actions) {
  std::copy(state.pending.begin() + expected::WriteCommand.size(), state.pending.end(), state.record.begin());
  state.pending.clear();
  state.collectingRecord = false;
  actions.push_back(DeviceAction{ActionKind::RecordStored, "", false, {}, 0});
  bool send = false;
  Bytes confirmation = ConfirmationFor(state.faults, send);
  if (send) AddReply(state.faults, confirmation, actions);
}

// Drops leading bytes until what is left could still become a command.
void Resync(DeviceState& state, std::vector<DeviceAction>& actions) {
  Bytes dropped;
  while (!state.pending.empty() && !IsPrefixOfAnyCommand(state.pending)) {
    dropped.push_back(state.pending.front());
    state.pending.erase(state.pending.begin());
  }
  if (dropped.empty()) return;
  if (!actions.empty() && actions.back().kind == ActionKind::Ignored) {
    actions.back().bytes.insert(actions.back().bytes.end(), dropped.begin(), dropped.end());
  } else {
    actions.push_back(DeviceAction{ActionKind::Ignored, "", false, dropped, 0});
  }
}

// Returns false when the line hangs up at this byte.
bool FeedRecordByte(DeviceState& state, uint8_t byte, std::vector<DeviceAction>& actions) {
  state.pending.push_back(byte);
  size_t received = state.pending.size() - expected::WriteCommand.size();
  if (state.faults.mode == FaultMode::Hangup && received == state.faults.hangupAfter) {
    actions.push_back(DeviceAction{ActionKind::Hangup, "", false, {}, 0});
    return false;
  }
  if (received == expected::RecordSize) FinishRecord(state, actions);
  return true;
}

}  // namespace

Record ModuleFactoryRecord() {
  Bytes factory = expected::FactoryRecord();
  Record record{};
  std::copy(factory.begin(), factory.end(), record.begin());
  return record;
}

Bytes DefaultProductType() {
  return Bytes(expected::AcceptedProductType, expected::AcceptedProductType + expected::ProductTypeLength);
}

// The bad answers carry a wrong status byte, or a wrong function byte.
FaultSettings DefaultFaults() {
  FaultSettings faults;
  faults.garbage = {0xA5, 0x5A, 0xFF, 0x00, 0x13, 0x37, 0xC3};
  faults.productType = DefaultProductType();
  faults.badConfirm = expected::WriteConfirmed;
  faults.badConfirm.back() = 0x01;
  faults.badEnter = expected::EnterAccepted;
  faults.badEnter.back() = 0x01;
  faults.badQuery = expected::Concat({expected::ProductTypeLead, faults.productType});
  faults.badQuery[2] = 0x41;
  return faults;
}

DeviceState NewDevice(const Record& record) {
  DeviceState state;
  state.record = record;
  state.faults = DefaultFaults();
  return state;
}

std::vector<DeviceAction> FeedDevice(DeviceState& state, const uint8_t* bytes, size_t count) {
  std::vector<DeviceAction> actions;
  for (size_t i = 0; i < count; ++i) {
    if (state.collectingRecord) {
      if (!FeedRecordByte(state, bytes[i], actions)) return actions;
      continue;
    }
    state.pending.push_back(bytes[i]);
    Resync(state, actions);
    const CommandShape* shape = CompleteCommand(state.pending);
    if (shape == nullptr) continue;
    HandleCommand(state, *shape, actions);
    if (!state.collectingRecord) state.pending.clear();
  }
  return actions;
}

Bytes DiscardPartialCommand(DeviceState& state) {
  Bytes dropped = state.pending;
  state.pending.clear();
  state.collectingRecord = false;
  return dropped;
}

void PowerCycleDevice(DeviceState& state) {
  DiscardPartialCommand(state);
  state.setupMode = false;
}

const char* FaultModeName(FaultMode mode) {
  switch (mode) {
    case FaultMode::Normal: return "normal";
    case FaultMode::Silent: return "silent";
    case FaultMode::Garbage: return "garbage";
    case FaultMode::Split: return "split";
    case FaultMode::Trickle: return "trickle";
    case FaultMode::ExtraByte: return "extra-byte";
    case FaultMode::NoConfirm: return "no-confirm";
    case FaultMode::ShortConfirm: return "short-confirm";
    case FaultMode::BadConfirm: return "bad-confirm";
    case FaultMode::CtsDown: return "cts-down";
    case FaultMode::Hangup: return "hangup";
    case FaultMode::BadEnter: return "bad-enter";
    case FaultMode::BadQuery: return "bad-query";
  }
  return "?";
}

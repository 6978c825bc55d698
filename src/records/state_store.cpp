#include "records/state_store.h"

#include <cctype>
#include <cstdio>
#include <sstream>

#include "records/record_platform.h"

namespace {

const char HexDigits[] = "0123456789ABCDEF";
const char FilePrefix[] = "vfd-";
const char FileSuffix[] = ".state";
const size_t StateFileLimit = 4096;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string StateText(const PortState& state) {
  return "device=" + state.stateKey + "\nport=" + state.port + "\nproduct_type=" + state.productType +
         "\nrecord=" + RecordHex(state.record) + "\nattachment=" + state.attachment +
         "\nwritten_at=" + std::to_string(state.writtenAt) + "\ncommand=" + state.command + "\n";
}

// key=value lines; the product type keeps its blanks. Every key once: a
// second device line would make another device's state this one's. A state
// written before attachments were kept has none, and never counts; when and
// by which command may be missing (states kept before they were recorded).
bool ParseStateText(const std::string& text, PortState* state) {
  std::istringstream in(text);
  std::string line;
  int seen = 0;
  bool record = false, when = true;
  state->writtenAt = 0;
  state->command.clear();
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    int before = seen;
    if (key == "device") state->stateKey = value, seen |= 1;
    else if (key == "port") state->port = value, seen |= 2;
    else if (key == "product_type") state->productType = value, seen |= 4;
    else if (key == "record") record = ParseRecordHex(value, &state->record), seen |= 8;
    else if (key == "attachment") state->attachment = value, seen |= 16;
    else if (key == "written_at") when = ParseSecondsText(value, &state->writtenAt), seen |= 32;
    else if (key == "command") state->command = value, seen |= 64;
    if (seen == before) return false;  // an unknown key, or one given again
  }
  return (seen & 15) == 15 && record && when;
}

}  // namespace

std::string StateFileName(const std::string& stateKey) { return DeviceFileName(stateKey, FileSuffix); }

std::string DeviceFileName(const std::string& stateKey, const std::string& suffix) {
  std::string name = FilePrefix;
  for (char c : stateKey) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && (std::isalnum(byte) || c == '-' || c == '_' || c == '.')) {
      name += c;
      continue;
    }
    name += '%';
    name += HexDigits[byte >> 4];
    name += HexDigits[byte & 0x0F];
  }
  return name + suffix;
}

bool KeyOfDeviceFileName(const std::string& name, const std::string& suffix, std::string* stateKey) {
  size_t prefix = sizeof FilePrefix - 1;
  if (name.size() < prefix + suffix.size() || name.compare(0, prefix, FilePrefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  stateKey->clear();
  for (size_t at = prefix; at < name.size() - suffix.size(); ++at) {
    if (name[at] != '%') {
      *stateKey += name[at];
      continue;
    }
    int high = at + 2 < name.size() ? HexValue(name[at + 1]) : -1, low = high >= 0 ? HexValue(name[at + 2]) : -1;
    if (low < 0) return false;
    *stateKey += static_cast<char>(high * 16 + low);
    at += 2;
  }
  // Only the name the key makes: no other spelling of it is the device's file.
  return DeviceFileName(*stateKey, suffix) == name;
}

std::string RecordHex(const StartupMessageRecord& record) {
  std::string hex;
  for (BYTE byte : record.bytes) {
    hex += HexDigits[byte >> 4];
    hex += HexDigits[byte & 0x0F];
  }
  return hex;
}

// Digits only, as the files write them (no leading zero), so that a file
// read and written again holds the same line.
bool ParseSecondsText(const std::string& text, long long* seconds) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  *seconds = std::stoll(text);
  return true;
}

bool ParseRecordHex(const std::string& hex, StartupMessageRecord* record) {
  if (hex.size() != 2 * RecordLength) return false;
  for (DWORD i = 0; i < RecordLength; ++i) {
    int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    record->bytes[i] = static_cast<BYTE>(high * 16 + low);
  }
  return true;
}

bool KeptStateCounts(const PortState& state, const PortIdentity& port) {
  return !state.attachment.empty() && state.attachment == port.attachment;
}

StateRead ReadPortState(const std::string& stateDir, const std::string& stateKey, PortState* state,
                        std::string* reason) {
  std::string text;
  std::string name = StateFileName(stateKey);
  FileRead read = ReadSmallFile(stateDir, name, StateFileLimit, &text, reason);
  if (read == FILE_ABSENT) return STATE_NONE;
  if (read != FILE_READ) return STATE_DAMAGED;
  if (!ParseStateText(text, state) || state->stateKey != stateKey) {
    *reason = name + " does not hold a whole state of this device";
    return STATE_DAMAGED;
  }
  return STATE_FOUND;
}

bool WritePortState(const std::string& stateDir, const PortState& state, std::string* reason) {
  return ReplaceFileSynced(stateDir, StateFileName(state.stateKey), StateText(state), reason);
}

bool ForgetPortState(const std::string& stateDir, const std::string& stateKey, std::string* reason) {
  return RemoveFileSynced(stateDir, StateFileName(stateKey), reason);
}

bool CanForgetPortState(const std::string& stateDir, const std::string& stateKey, std::string* reason) {
  return FileRemovable(stateDir, StateFileName(stateKey), reason);
}

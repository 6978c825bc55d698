#include "cli/state_store.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/cli_platform.h"

namespace fs = std::filesystem;

namespace {

const char HexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

fs::path StatePath(const std::string& stateDir, const std::string& port) {
  return fs::u8path(stateDir) / fs::u8path(StateFileName(port));
}

std::string StateText(const PortState& state) {
  return "port=" + state.port + "\nproduct_type=" + state.productType + "\nrecord=" +
         RecordHex(state.record) + "\n";
}

// key=value lines; the product type keeps its blanks.
bool ParseStateText(std::istream& in, PortState* state) {
  std::string line;
  bool port = false, productType = false, record = false;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "port") port = (state->port = value, true);
    else if (key == "product_type") productType = (state->productType = value, true);
    else if (key == "record") record = ParseRecordHex(value, &state->record);
    else return false;
  }
  return port && productType && record;
}

bool WriteFileSynced(const fs::path& path, const std::string& text, std::string* reason) {
  FILE* file = OpenFileForWriting(path.u8string());
  if (file == nullptr) {
    *reason = "cannot create " + path.u8string() + ": " + std::strerror(errno);
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 std::fflush(file) == 0 && SyncFileToDisk(file);
  if (!written) *reason = "cannot write " + path.u8string() + ": " + std::strerror(errno);
  return std::fclose(file) == 0 && written;
}

}  // namespace

std::string StateFileName(const std::string& port) {
  std::string name;
  for (char c : port) {
    bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    name += plain && (c & 0x80) == 0 ? c : '_';
  }
  return name + ".state";
}

std::string RecordHex(const StartupMessageRecord& record) {
  std::string hex;
  for (BYTE byte : record.bytes) {
    hex += HexDigits[byte >> 4];
    hex += HexDigits[byte & 0x0F];
  }
  return hex;
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

StateRead ReadPortState(const std::string& stateDir, const std::string& port, PortState* state,
                        std::string* reason) {
  fs::path path = StatePath(stateDir, port);
  std::error_code error;
  if (!fs::exists(path, error) && !error) return STATE_NONE;
  std::ifstream in(path);
  if (!in) {
    *reason = "cannot read " + path.u8string();
    return STATE_DAMAGED;
  }
  if (!ParseStateText(in, state)) {
    *reason = path.u8string() + " does not hold a whole state";
    return STATE_DAMAGED;
  }
  // Two names may share a file name; the state is only this port's own.
  if (state->port != port) return STATE_NONE;
  return STATE_FOUND;
}

bool WritePortState(const std::string& stateDir, const PortState& state, std::string* reason) {
  std::error_code error;
  fs::create_directories(fs::u8path(stateDir), error);
  fs::path path = StatePath(stateDir, state.port);
  fs::path temporary = path;
  temporary += ".tmp" + std::to_string(CurrentProcessId());
  if (!WriteFileSynced(temporary, StateText(state), reason)) {
    fs::remove(temporary, error);
    return false;
  }
  fs::rename(temporary, path, error);
  if (!error) return true;
  *reason = "cannot replace " + path.u8string() + ": " + error.message();
  fs::remove(temporary, error);
  return false;
}

bool ForgetPortState(const std::string& stateDir, const std::string& port, std::string* reason) {
  std::error_code error;
  fs::path path = StatePath(stateDir, port);
  fs::remove(path, error);
  if (!error) return true;
  *reason = "cannot remove " + path.u8string() + ": " + error.message();
  return false;
}

#include "records/last_run.h"

#include <sstream>

#include "records/record_platform.h"

namespace {

const char FileSuffix[] = ".last";
const size_t FileLimit = 8192;

// One line per value: a name or a detail may hold a line break.
std::string Escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

bool Unescape(const std::string& value, std::string* out) {
  out->clear();
  for (size_t at = 0; at < value.size(); ++at) {
    if (value[at] == '\r') return false;  // written as \r, never raw
    if (value[at] != '\\') {
      *out += value[at];
      continue;
    }
    char next = ++at < value.size() ? value[at] : 0;
    if (next != '\\' && next != 'n' && next != 'r') return false;
    *out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
  }
  return true;
}

std::string LastRunText(const LastRun& run) {
  return "device=" + Escaped(run.stateKey) + "\nport=" + Escaped(run.port) + "\ncommand=" + Escaped(run.command) +
         "\noutcome=" + Escaped(run.outcome) + "\nreason=" + Escaped(run.reason) + "\ndetail=" + Escaped(run.detail) +
         "\ntime=" + std::to_string(run.time) + "\n";
}

// Every key once, nothing else.
bool ParseLastRunText(const std::string& text, LastRun* run) {
  const char* keys[] = {"device", "port", "command", "outcome", "reason", "detail", "time"};
  std::string* values[] = {&run->stateKey, &run->port, &run->command, &run->outcome, &run->reason, &run->detail};
  std::istringstream in(text);
  std::string line, time;
  int seen = 0;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    int key = 0;
    while (key < 7 && (equals == std::string::npos || line.compare(0, equals, keys[key]) != 0)) ++key;
    if (key == 7 || (seen & (1 << key)) != 0) return false;
    seen |= 1 << key;
    std::string value;
    if (!Unescape(line.substr(equals + 1), &value)) return false;
    if (key < 6) *values[key] = value;
    else time = value;
  }
  return seen == 127 && ParseSecondsText(time, &run->time);
}

}  // namespace

bool IsSuccessOutcome(const std::string& outcome) { return outcome == "stored" || outcome == "unchanged"; }

bool WriteLastRun(const std::string& stateDir, const LastRun& run, std::string* reason) {
  return ReplaceFileSynced(stateDir, DeviceFileName(run.stateKey, FileSuffix), LastRunText(run), reason);
}

StateRead ReadLastRun(const std::string& stateDir, const std::string& stateKey, LastRun* run, std::string* reason) {
  std::string text, name = DeviceFileName(stateKey, FileSuffix);
  FileRead read = ReadSmallFile(stateDir, name, FileLimit, &text, reason);
  if (read == FILE_ABSENT) return STATE_NONE;
  if (read != FILE_READ) return STATE_DAMAGED;
  if (!ParseLastRunText(text, run) || run->stateKey != stateKey) {
    *reason = name + " does not hold a whole last run of this device";
    return STATE_DAMAGED;
  }
  return STATE_FOUND;
}

bool ForgetLastRun(const std::string& stateDir, const std::string& stateKey, std::string* reason) {
  return RemoveFileSynced(stateDir, DeviceFileName(stateKey, FileSuffix), reason);
}


// The ports the console program tries on POSIX systems: the port named in
// /etc/vfdstartup.conf, then the serial devices under /dev. Every name is a
// path as found, never resolved through a symlink, so a /dev/serial/by-id
// name stays valid when the adapter is plugged in again.
#include "discovery/port_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>

#include "serial/port_device_posix.h"
#include "text/utf_convert.h"

namespace {

// Tests point these variables at their own configuration and /dev tree.
const char ConfVariable[] = "VFDSTARTUP_CONF";
const char DefaultConfPath[] = "/etc/vfdstartup.conf";
const char DevRootVariable[] = "VFDSTARTUP_DEV_ROOT";
const char DefaultDevRoot[] = "/dev";
const char ById[] = "/serial/by-id";
// Platform UARTs, then USB serial adapters, then USB modems (CDC ACM).
const char* const DeviceGroups[] = {"ttyS", "ttyUSB", "ttyACM"};
const char Blanks[] = " \t\r";
const char Digits[] = "0123456789";
const size_t ConfLimit = 65536;

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(Blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// The whole file when it is a regular one. Anything else (a FIFO, a
// directory, a device) is never waited on: it is skipped, with a problem.
bool ReadRegularFile(const std::string& path, std::string* text, std::string* problem) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    *problem = path + " is not a regular file; its port= line is not used";
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while (text->size() < ConfLimit && (n = read(fd, buffer, sizeof buffer)) > 0) text->append(buffer, static_cast<size_t>(n));
  close(fd);
  return true;
}

std::string SkippedLine(const std::string& confPath, int number, const std::string& key) {
  std::string what = key.empty() ? "not a key = value line" : "unknown key '" + key + "'";
  return confPath + ":" + std::to_string(number) + ": " + what + " (only port= is read); the line is skipped";
}

// The value of the last port= line; blank lines and # comments are skipped.
// Any other line is a warning naming it: a typo such as prot= would
// otherwise leave the port unconfigured without a word.
std::string ConfiguredPort(const std::string& confPath, std::vector<std::string>* problems) {
  std::string text, problem, line, port;
  if (!ReadRegularFile(confPath, &text, &problem)) {
    if (!problem.empty()) problems->push_back(problem);
    return "";
  }
  std::istringstream in(text);
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    size_t equals = line.find('=');
    std::string key = equals == std::string::npos ? "" : Trimmed(line.substr(0, equals));
    if (key == "port") port = Trimmed(line.substr(equals + 1));
    else problems->push_back(SkippedLine(confPath, number, key));
  }
  return port;
}

// The digit run at *at without its leading zeros; *at moves past it.
std::string DigitRun(const std::string& text, size_t* at) {
  size_t end = std::min(text.find_first_not_of(Digits, *at), text.size());
  size_t first = std::min(text.find_first_not_of('0', *at), end);
  *at = end;
  return text.substr(first, end - first);
}

// ttyS2 before ttyS10: digit runs compare by their value.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      std::string x = DigitRun(a, &i), y = DigitRun(b, &j);
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
    } else if (a[i] != b[j]) {
      return a[i] < b[j];
    } else {
      ++i, ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The paths of dir's entries whose names start with prefix (and go on).
std::vector<std::string> DevicesIn(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name[0] != '.' && name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
      names.push_back(name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end(), NaturalLess);
  for (std::string& name : names) name = dir + "/" + name;
  return names;
}

// Only to compare two names of one device; never returned.
std::string DeviceOf(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string device = resolved != nullptr ? resolved : "";
  free(resolved);
  return device;
}

// The program's own controlling terminal and the system console: probing
// them would send the module's commands to a user's screen or to the
// kernel's console (the port refuses them as well, TerminalsInUse).
bool IsInUse(const std::string& path, const std::set<dev_t>& inUse) {
  dev_t number;
  return CharacterDeviceNumber(path, &number) && inUse.count(number) != 0;
}

void ListOrLeaveOut(const std::string& path, const std::set<dev_t>& inUse, PortList* list) {
  (IsInUse(path, inUse) ? list->leftOut : list->listed).push_back(Utf16FromBytes(path));
}

}  // namespace

// A ttyUSB or ttyACM device that a by-id link already names is left out: the
// by-id name survives replugging, the numbered one does not. (Platform UARTs
// have no by-id links, so the same rule serves all three groups.)
void ReadPortList(PortList* list) {
  list->problems.clear();
  list->configured = Utf16FromBytes(ConfiguredPort(EnvironmentOr(ConfVariable, DefaultConfPath), &list->problems));
  list->listed.clear();
  list->leftOut.clear();
  std::string root = EnvironmentOr(DevRootVariable, DefaultDevRoot);
  std::set<dev_t> inUse = TerminalsInUse();
  std::set<std::string> named;
  for (const std::string& link : DevicesIn(root + ById, "")) {
    named.insert(DeviceOf(link));
    ListOrLeaveOut(link, inUse, list);
  }
  named.erase("");
  for (const char* group : DeviceGroups) {
    for (const std::string& path : DevicesIn(root, group))
      if (named.count(DeviceOf(path)) == 0) ListOrLeaveOut(path, inUse, list);
  }
}

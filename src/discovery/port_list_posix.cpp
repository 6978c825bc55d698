// The ports the console program tries on POSIX systems: the port named in
// /etc/vfdstartup.conf, then the serial devices under /dev. Every name is a
// path as found, never resolved through a symlink, so a /dev/serial/by-id
// name stays valid when the adapter is plugged in again.
#include "discovery/port_list.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

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

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(Blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// The value of the last port= line; blank lines and # comments are skipped.
std::string ConfiguredPort(const std::string& confPath) {
  std::ifstream in(confPath);
  std::string line, port;
  while (std::getline(in, line)) {
    line = Trimmed(line);
    size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    if (Trimmed(line.substr(0, equals)) == "port") port = Trimmed(line.substr(equals + 1));
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

// One code point from *at on. A byte that starts no well-formed sequence
// reads as U+FFFD and is passed by itself.
char32_t NextCodePoint(const std::string& text, size_t* at) {
  static const unsigned char LeadMask[] = {0x7F, 0x1F, 0x0F, 0x07};
  unsigned char lead = static_cast<unsigned char>(text[*at]);
  int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
  bool wellFormed = extra >= 0 && *at + extra < text.size();
  char32_t c = wellFormed ? lead & LeadMask[extra] : 0;
  for (int k = 1; wellFormed && k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[*at + k]);
    wellFormed = (next & 0xC0) == 0x80;
    c = (c << 6) | (next & 0x3F);
  }
  *at += wellFormed ? 1 + extra : 1;
  return wellFormed && c <= 0x10FFFF ? c : 0xFFFD;
}

// Paths are bytes, UTF-8 by convention; the logic's names are UTF-16.
std::u16string Utf16Of(const std::string& text) {
  std::u16string out;
  for (size_t at = 0; at < text.size();) {
    char32_t c = NextCodePoint(text, &at);
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
      continue;
    }
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
  return out;
}

}  // namespace

// A ttyUSB or ttyACM device that a by-id link already names is left out: the
// by-id name survives replugging, the numbered one does not. (Platform UARTs
// have no by-id links, so the same rule serves all three groups.)
void ReadPortList(PortList* list) {
  list->configured = Utf16Of(ConfiguredPort(EnvironmentOr(ConfVariable, DefaultConfPath)));
  list->listed.clear();
  std::string root = EnvironmentOr(DevRootVariable, DefaultDevRoot);
  std::set<std::string> named;
  for (const std::string& link : DevicesIn(root + ById, "")) {
    named.insert(DeviceOf(link));
    list->listed.push_back(Utf16Of(link));
  }
  named.erase("");
  for (const char* group : DeviceGroups) {
    for (const std::string& path : DevicesIn(root, group))
      if (named.count(DeviceOf(path)) == 0) list->listed.push_back(Utf16Of(path));
  }
}

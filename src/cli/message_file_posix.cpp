// The message file on POSIX systems.
#include <fcntl.h>
#include <glob.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/message_file_platform.h"
#include "text/utf_convert.h"

namespace {

const size_t FileLimit = 64 * 1024;
const char ByIdDir[] = "/dev/serial/by-id/";

// VFDSTARTUP_DEV_ROOT stands in for /dev (the tests' own by-id links).
std::string DevRoot() {
  const char* root = getenv("VFDSTARTUP_DEV_ROOT");
  return root != nullptr && *root != '\0' ? root : "/dev";
}

bool ReadAll(int fd, std::string* text) {
  char buffer[4096];
  ssize_t n = 0;
  while (text->size() <= FileLimit && ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0) text->append(buffer, static_cast<size_t>(n));
  return n >= 0;
}

bool IsPortPattern(const std::string& value) { return value.find_first_of("*?[") != std::string::npos; }

}  // namespace

std::string DefaultMessageFilePath() { return "/etc/vfdstartup/message.conf"; }

// Followed through links, as any configuration file is; never waits on a
// FIFO or a device.
bool ReadMessageFileText(const std::string& path, std::string* text, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  text->clear();
  bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  bool read = regular && ReadAll(fd, text);
  int readError = errno;
  close(fd);
  if (!regular) *error = path + " is not a regular file";
  else if (!read) *error = "cannot read " + path + ": " + std::strerror(readError);
  else if (text->size() > FileLimit) *error = path + " is larger than a message file can be (64 KiB)";
  return regular && read && text->size() <= FileLimit;
}

bool MessageFileAbsent(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

bool CheckPortSetting(const std::string& value, std::string* why) {
  if (value[0] != '/') {
    *why = "port is a path such as /dev/ttyS1, or a pattern over /dev/serial/by-id/";
    return false;
  }
  std::string rest = value.substr(std::min(value.size(), sizeof ByIdDir - 1));
  bool byId = value.compare(0, sizeof ByIdDir - 1, ByIdDir) == 0 && rest.find('/') == std::string::npos;
  if (IsPortPattern(value) && !byId) {
    *why = "a pattern is taken only over /dev/serial/by-id/ (ttyUSB numbers change from one plug-in to the next)";
    return false;
  }
  return true;
}

std::vector<std::u16string> PortsOfSetting(const std::string& value) {
  if (!IsPortPattern(value)) return {Utf16FromBytes(value)};
  std::string pattern = DevRoot() + "/serial/by-id/" + value.substr(sizeof ByIdDir - 1);
  std::vector<std::u16string> ports;
  glob_t matches = {};
  if (glob(pattern.c_str(), 0, nullptr, &matches) == 0)
    for (size_t i = 0; i < matches.gl_pathc; ++i) ports.push_back(Utf16FromBytes(matches.gl_pathv[i]));
  globfree(&matches);
  return ports;
}

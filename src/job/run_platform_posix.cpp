// Recording a run on POSIX systems: node_exporter's text file directory and
// the systemd journal's native protocol (one datagram of KEY=value lines to
// its socket), so that no library beyond the C library is linked.
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "job/run_platform.h"

bool ListDirectory(const std::string& dir, std::vector<std::string>* names, std::string* reason) {
  names->clear();
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) {
    if (errno == ENOENT) return true;
    *reason = "cannot list " + dir + ": " + std::strerror(errno);
    return false;
  }
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(listing);
  std::sort(names->begin(), names->end());
  return true;
}

bool DirectoryExists(const std::string& dir) {
  struct stat info {};
  return stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

long long NowSeconds() { return static_cast<long long>(std::time(nullptr)); }

std::string UtcText(long long seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = {};
  if (gmtime_r(&when, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string DefaultMetricsDir() { return "/var/lib/prometheus/node-exporter"; }

std::string PathIn(const std::string& dir, const std::string& name) { return dir + "/" + name; }

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JournalSocketPath() { return "/run/systemd/journal/socket"; }

bool SendJournalDatagram(const std::string& socketPath, const std::string& datagram) {
  sockaddr_un address {};
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                        sizeof address);
  close(fd);
  return sent == static_cast<ssize_t>(datagram.size());
}

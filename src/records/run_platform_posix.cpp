// Recording a run on POSIX systems: node_exporter's text file directory and
// the systemd journal's native protocol (one datagram of KEY=value lines to
// its socket), so that no library beyond the C library is linked.
#include <dirent.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "records/run_platform.h"

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

// VFDSTARTUP_METRICS_DIR names another one: a test's run leaves the
// machine's collector alone.
std::string DefaultMetricsDir() {
  const char* named = getenv("VFDSTARTUP_METRICS_DIR");
  return named != nullptr && *named != '\0' ? named : "/var/lib/prometheus/node-exporter";
}

std::string PathIn(const std::string& dir, const std::string& name) { return dir + "/" + name; }

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The tests name a socket of their own.
std::string JournalSocketPath() {
  const char* named = getenv("VFDSTARTUP_JOURNAL_SOCKET");
  return named != nullptr && *named != '\0' ? named : "/run/systemd/journal/socket";
}

namespace {

const int TakenPolls = 100;  // 1 ms apart: never more than 0.1 s

// Until the peer has read what fd sent (at most 0.1 s).
void WaitUntilTaken(int fd) {
  for (int poll = 0; poll < TakenPolls; ++poll) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0) return;
    usleep(1000);
  }
}

// The descriptor (1 or 2) that is the journal's stream systemd gave a unit
// (JOURNAL_STREAM names its device and inode); -1: none.
int JournalStreamFd() {
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return -1;
  for (int fd : {1, 2}) {
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode) return fd;
  }
  return -1;
}

}  // namespace

// The journal learns a sender's unit from its /proc entry, and keeps what it
// learnt for the sender's other lines; from a process that has ended it
// learns nothing. Under a unit the entry goes once the journal has read the
// lines the program wrote to its stream (which name the unit), so the entry
// finds them; it is read before the program goes on.
bool SendJournalDatagram(const std::string& socketPath, const std::string& datagram) {
  int stream = JournalStreamFd();
  if (stream >= 0) WaitUntilTaken(stream);
  sockaddr_un address {};
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                        sizeof address);
  if (sent > 0) WaitUntilTaken(fd);
  close(fd);
  return sent == static_cast<ssize_t>(datagram.size());
}

#include "serial/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char LockDirVariable[] = "VFDSTARTUP_LOCK_DIR";
const char DefaultLockDir[] = "/var/lock";
const char DevPrefix[] = "/dev/";
// "%10d\n": the process id, right-aligned in ten columns (HDB UUCP).
const int LockTextSize = 11;

std::string LockDir() {
  const char* dir = getenv(LockDirVariable);
  return dir != nullptr && *dir != '\0' ? dir : DefaultLockDir;
}

bool IsAlive(pid_t processId) { return kill(processId, 0) == 0 || errno == EPERM; }

// The process id a lock file holds; 0 when it holds none we can read.
pid_t LockOwner(const std::string& lockFile) {
  int fd = open(lockFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  long owner = n > 0 ? std::strtol(text, nullptr, 10) : 0;
  return owner > 0 ? static_cast<pid_t>(owner) : 0;
}

std::string Target(const std::string& link) {
  char target[4096];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

bool HoldsDevice(const std::string& processDir, const std::string& devicePath) {
  DIR* fds = opendir((processDir + "/fd").c_str());
  if (fds == nullptr) return false;
  bool holds = false;
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    if (Target(processDir + "/fd/" + entry->d_name) == devicePath) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

}  // namespace

std::string LockFileFor(const std::string& devicePath) {
  std::string name = devicePath.compare(0, sizeof DevPrefix - 1, DevPrefix) == 0
                         ? devicePath.substr(sizeof DevPrefix - 1)
                         : devicePath;
  for (char& c : name)
    if (c == '/') c = '_';
  return LockDir() + "/LCK.." + name;
}

bool FindLiveLock(const std::string& lockFile, PortHolder* holder) {
  struct stat info {};
  if (lstat(lockFile.c_str(), &info) != 0) return false;
  pid_t owner = LockOwner(lockFile);
  if (owner == getpid()) return false;
  if (owner != 0 && !IsAlive(owner)) {
    unlink(lockFile.c_str());
    return false;
  }
  // A lock file we cannot read is somebody's claim all the same.
  holder->processId = owner;
  holder->program = owner != 0 ? ProgramOf(owner) : "";
  holder->lockFile = lockFile;
  return true;
}

bool TakeLock(const std::string& lockFile, bool* taken, PortHolder* holder) {
  *taken = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(lockFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[LockTextSize + 1];
      std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
      bool written = fchmod(fd, 0644) == 0 && write(fd, text, LockTextSize) == LockTextSize;
      close(fd);
      if (!written) unlink(lockFile.c_str());
      *taken = written;
      return true;
    }
    if (errno != EEXIST) return true;  // no lock directory we may write to
    if (FindLiveLock(lockFile, holder)) return false;
  }
  return true;
}

void ReleaseLock(const std::string& lockFile) {
  if (LockOwner(lockFile) == getpid()) unlink(lockFile.c_str());
}

bool FindOtherHolder(const std::string& devicePath, PortHolder* holder) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  pid_t self = getpid();
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    pid_t processId = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (processId <= 0 || processId == self) continue;
    if (!HoldsDevice(std::string("/proc/") + entry->d_name, devicePath)) continue;
    holder->processId = processId;
    holder->program = ProgramOf(processId);
    found = true;
    break;
  }
  closedir(proc);
  return found;
}

std::string ProgramOf(pid_t processId) {
  std::string path = processId == 0 ? "/proc/self/comm" : "/proc/" + std::to_string(processId) + "/comm";
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return "";
  char name[64] = {};
  bool read = std::fgets(name, sizeof name, file) != nullptr;
  std::fclose(file);
  std::string program = read ? name : "";
  if (!program.empty() && program.back() == '\n') program.pop_back();
  return program;
}

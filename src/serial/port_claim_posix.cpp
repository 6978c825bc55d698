#include "serial/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char LockDirVariable[] = "VFDSTARTUP_LOCK_DIR";
const char DefaultLockDir[] = "/var/lock";
const char DevPrefix[] = "/dev/";
// "%10d\n": the process id, right-aligned in ten columns (HDB UUCP).
const int LockTextSize = 11;
// PID_MAX_LIMIT: no process id is larger.
const int32_t PidLimit = 4194304;
const mode_t LockMode = 0644;
const size_t ScanThreadsMax = 4;
const char TemporaryPrefix[] = "LTMP.";
// A live run links its temporary within moments of making it, even one in a
// pid namespace this process cannot see: a minute old, it is left over.
const time_t LeftTemporaryAgeSeconds = 60;

std::string LockDir() {
  const char* dir = getenv(LockDirVariable);
  return dir != nullptr && *dir != '\0' ? dir : DefaultLockDir;
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// A liveness check on another account's process answers EPERM: it lives.
bool IsAlive(pid_t processId) { return kill(processId, 0) == 0 || errno == EPERM; }

// Blanks, digits, then blanks and line ends only: the HDB text form.
bool ParseTextOwner(const char* text, pid_t* owner) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || value <= 0 || value > INT32_MAX) return false;
  for (; *end != '\0'; ++end)
    if (*end != ' ' && *end != '\n' && *end != '\r' && *end != '\t') return false;
  *owner = static_cast<pid_t>(value);
  return true;
}

// The process id a lock file holds: HDB UUCP text (which never holds NUL),
// or the 4-byte binary pid older UUCP programs write, within the kernel's
// limit. False when it holds none this program can tell (empty, garbage,
// longer than either form, unreadable).
bool LockOwner(const std::string& lockFile, pid_t* owner) {
  int fd = open(lockFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char text[33] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0 || n == sizeof text - 1) return false;
  if (std::memchr(text, '\0', static_cast<size_t>(n)) == nullptr && ParseTextOwner(text, owner)) return true;
  int32_t binary = 0;
  if (n != sizeof binary) return false;
  std::memcpy(&binary, text, sizeof binary);
  *owner = static_cast<pid_t>(binary);
  return binary > 0 && binary <= PidLimit;
}

// A name of this process's own beside the lock files (UUCP programs use
// LTMP.<pid> the same way); probes of several ports take locks at once.
int CreateTemporary(const std::string& dir, std::string* path) {
  static std::atomic<unsigned> counter(0);
  for (int attempt = 0; attempt < 16; ++attempt) {
    *path = dir + "/" + TemporaryPrefix + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, LockMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The process id in a temporary's name of this program's form,
// LTMP.<pid>.<n>; false for any other name.
bool TemporaryOwner(const char* name, pid_t* owner) {
  if (std::strncmp(name, TemporaryPrefix, sizeof TemporaryPrefix - 1) != 0) return false;
  const char* at = name + sizeof TemporaryPrefix - 1;
  long value = 0;
  for (; *at >= '0' && *at <= '9' && value <= INT32_MAX; ++at) value = value * 10 + (*at - '0');
  if (at == name + sizeof TemporaryPrefix - 1 || *at != '.' || value <= 0 || value > INT32_MAX) return false;
  const char* count = ++at;
  while (*at >= '0' && *at <= '9') ++at;
  if (at == count || *at != '\0') return false;
  *owner = static_cast<pid_t>(value);
  return true;
}

// A run that ended between making its temporary and linking it left the
// temporary behind; nothing reads it as a lock, but nothing else removes it.
void RemoveLeftTemporaries(const std::string& dir) {
  DIR* entries = opendir(dir.c_str());
  if (entries == nullptr) return;
  time_t now = time(nullptr);
  while (dirent* entry = readdir(entries)) {
    pid_t owner = 0;
    struct stat info {};
    if (!TemporaryOwner(entry->d_name, &owner) || owner == getpid() || IsAlive(owner)) continue;
    if (fstatat(dirfd(entries), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        now - info.st_mtime < LeftTemporaryAgeSeconds)
      continue;
    unlinkat(dirfd(entries), entry->d_name, 0);
  }
  closedir(entries);
}

bool WriteOwner(int fd) {
  char text[LockTextSize + 1];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  bool written = fchmod(fd, LockMode) == 0 && write(fd, text, LockTextSize) == LockTextSize;
  return close(fd) == 0 && written;
}

std::string LockProblem(const std::string& dir) {
  return "cannot make a lock file in " + dir + ": " + std::strerror(errno);
}

// ---- the processes that hold devices ------------------------------------------

struct HolderScan {
  std::mutex lock;
  int claims = 0;
  bool taken = false;
  std::map<dev_t, pid_t> holders;   // each character device's first holder found
};

HolderScan& Scan() {
  static HolderScan scan;
  return scan;
}

// What a descriptor leads to is stat'ed through its /proc link, which
// reaches the open file whatever name (or mount namespace) it was opened by.
void AddDevicesHeldBy(pid_t processId, std::map<dev_t, pid_t>* holders) {
  char dir[32];
  std::snprintf(dir, sizeof dir, "/proc/%d/fd", static_cast<int>(processId));
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // ended, or another account's: not ours to look into
  DIR* fds = fdopendir(fd);
  if (fds == nullptr) {
    close(fd);
    return;
  }
  while (dirent* entry = readdir(fds)) {
    struct stat info {};
    if (entry->d_name[0] == '.' || fstatat(dirfd(fds), entry->d_name, &info, 0) != 0) continue;
    if (S_ISCHR(info.st_mode)) holders->emplace(info.st_rdev, processId);
  }
  closedir(fds);
}

void AddDevicesHeldByEvery(const std::vector<pid_t>* processes, size_t first, size_t step,
                           std::map<dev_t, pid_t>* holders) {
  for (size_t i = first; i < processes->size(); i += step) AddDevicesHeldBy((*processes)[i], holders);
}

std::vector<pid_t> OtherProcesses() {
  std::vector<pid_t> processes;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return processes;
  pid_t self = getpid();
  while (dirent* entry = readdir(proc)) {
    pid_t processId = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (processId > 0 && processId != self) processes.push_back(processId);
  }
  closedir(proc);
  return processes;
}

// One kernel lookup per descriptor of every process: a thousand processes
// with thirty each cost tens of milliseconds, so the look is shared out
// over the processor's cores (the calling thread alone when no thread can
// be started).
std::map<dev_t, pid_t> DevicesHeldByOthers() {
  std::vector<pid_t> processes = OtherProcesses();
  size_t parts = std::max<size_t>(1, std::min<size_t>(std::thread::hardware_concurrency(), ScanThreadsMax));
  std::vector<std::map<dev_t, pid_t>> found(parts);
  std::vector<std::thread> helpers;
  for (size_t part = 1; part < parts; ++part) {
    try {
      helpers.emplace_back(AddDevicesHeldByEvery, &processes, part, parts, &found[part]);
    } catch (const std::system_error&) {
      AddDevicesHeldByEvery(&processes, part, parts, &found[part]);
    }
  }
  AddDevicesHeldByEvery(&processes, 0, parts, &found[0]);
  for (std::thread& helper : helpers) helper.join();
  for (size_t part = 1; part < parts; ++part) found[0].insert(found[part].begin(), found[part].end());
  return found[0];
}

// The device's holder from the claims' shared look, or a look of its own
// outside any claim.
pid_t HolderOf(dev_t device) {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  std::map<dev_t, pid_t> fresh;
  if (scan.claims > 0 && !scan.taken) {
    scan.holders = DevicesHeldByOthers();
    scan.taken = true;
  } else if (scan.claims == 0) {
    fresh = DevicesHeldByOthers();
  }
  const std::map<dev_t, pid_t>& holders = scan.claims > 0 ? scan.holders : fresh;
  auto found = holders.find(device);
  return found == holders.end() ? 0 : found->second;
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
  pid_t owner = 0;
  bool told = LockOwner(lockFile, &owner);
  if (told && owner == getpid()) return false;
  if (told && !IsAlive(owner)) {
    unlink(lockFile.c_str());
    return false;
  }
  // One that names nobody this program can tell is somebody's claim all the
  // same: only a person can tell whether it is left over.
  holder->processId = told ? owner : 0;
  holder->program = told ? ProgramOf(owner) : "";
  holder->lockFile = lockFile;
  return true;
}

// Written whole under a name of its own, then linked to the lock file's
// name: the lock file never exists without its owner in it, even when this
// program ends between the two.
bool TakeLock(const std::string& lockFile, bool* taken, PortHolder* holder, std::string* problem) {
  *taken = false;
  std::string dir = DirectoryOf(lockFile), temporary;
  int fd = CreateTemporary(dir, &temporary);
  if (fd < 0) {
    *problem = LockProblem(dir);
    return true;
  }
  bool claimed = true, written = WriteOwner(fd);
  if (!written) *problem = LockProblem(dir);
  for (int attempt = 0; written && attempt < 2 && !*taken; ++attempt) {
    if (link(temporary.c_str(), lockFile.c_str()) == 0) {
      *taken = true;
    } else if (errno != EEXIST) {
      *problem = LockProblem(dir);
      break;
    } else if (FindLiveLock(lockFile, holder)) {
      claimed = false;
      break;
    }
  }
  unlink(temporary.c_str());
  if (*taken) RemoveLeftTemporaries(dir);
  return claimed;
}

void ReleaseLock(const std::string& lockFile) {
  pid_t owner = 0;
  if (LockOwner(lockFile, &owner) && owner == getpid()) unlink(lockFile.c_str());
}

void BeginClaim() {
  std::lock_guard<std::mutex> hold(Scan().lock);
  ++Scan().claims;
}

void EndClaim() {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  if (scan.claims > 0 && --scan.claims == 0) {
    scan.taken = false;
    scan.holders.clear();
  }
}

bool FindOtherHolder(dev_t device, PortHolder* holder) {
  pid_t processId = HolderOf(device);
  if (processId == 0) return false;
  holder->processId = processId;
  holder->program = ProgramOf(processId);
  return true;
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

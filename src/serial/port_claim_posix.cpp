// Lock files: the UUCP lock a run takes in the lock directory, and whose
// lock found there is a claim. The claims' other half, who holds a device,
// is port_holders_posix.cpp.
#include "serial/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char LockDirVariable[] = "VFDSTARTUP_LOCK_DIR";
const char DefaultLockDir[] = "/var/lock";
const char DevPrefix[] = "/dev/";
// "%10d\n": the process id, right-aligned in ten columns (HDB UUCP).
const int LockTextSize = 11;
const mode_t LockMode = 0644;
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

// The kernel's own ceiling for pid_max (64-bit), when pid_max cannot be read.
const long PidMaxLimit = 4194304;
// Longer than any lock file's form: garbage.
const ssize_t LockSizeMax = 32;

// Blanks, digits, then blanks and line ends only: the HDB text form, which
// never holds a NUL.
bool ParseTextOwner(const char* bytes, size_t size, long pidMax, pid_t* owner) {
  if (std::memchr(bytes, '\0', size) != nullptr) return false;
  std::string text(bytes, size);
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || value <= 0 || value > pidMax) return false;
  for (; *end != '\0'; ++end)
    if (*end != ' ' && *end != '\n' && *end != '\r' && *end != '\t') return false;
  *owner = static_cast<pid_t>(value);
  return true;
}

long PidMax() {
  long value = 0;
  FILE* file = std::fopen("/proc/sys/kernel/pid_max", "re");
  if (file != nullptr && std::fscanf(file, "%ld", &value) != 1) value = 0;
  if (file != nullptr) std::fclose(file);
  return value > 0 ? value : PidMaxLimit;
}

// The process id a lock file holds (see ParseLockOwner); false for none
// this program can tell (empty, garbage, unreadable).
bool LockOwner(const std::string& lockFile, pid_t* owner) {
  int fd = open(lockFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char bytes[LockSizeMax + 1];
  ssize_t n = read(fd, bytes, sizeof bytes);
  close(fd);
  return n > 0 && n <= LockSizeMax && ParseLockOwner(bytes, static_cast<size_t>(n), PidMax(), owner);
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

// ---- who may make a lock file --------------------------------------------------

// The account's name and first group; false for an account the user
// database does not know (one of a container, say).
bool AccountOf(uid_t account, std::string* name, gid_t* group) {
  passwd entry {};
  passwd* found = nullptr;
  char names[4096];
  if (getpwuid_r(account, &entry, names, sizeof names, &found) != 0 || found == nullptr) return false;
  *name = found->pw_name;
  *group = found->pw_gid;
  return true;
}

// The account's groups by the group database, and the lock file's own group:
// the group its maker ran with, unless the directory hands down its own.
std::vector<gid_t> GroupsOf(uid_t account, const struct stat& lock, const struct stat& dir) {
  std::vector<gid_t> groups;
  if ((dir.st_mode & S_ISGID) == 0) groups.push_back(lock.st_gid);
  std::string name;
  gid_t first = 0;
  if (!AccountOf(account, &name, &first)) return groups;
  int count = 64;
  std::vector<gid_t> listed(static_cast<size_t>(count));
  if (getgrouplist(name.c_str(), first, listed.data(), &count) < 0) {
    listed.resize(static_cast<size_t>(count));
    if (getgrouplist(name.c_str(), first, listed.data(), &count) < 0) count = 0;
  }
  groups.insert(groups.end(), listed.begin(), listed.begin() + count);
  groups.push_back(first);
  return groups;
}

// Read and write rights by the device's mode, as the kernel decides them:
// the owner's bits for its owner, the group's for its group, else the others'.
bool MayOpen(uid_t account, const std::vector<gid_t>& groups, const struct stat& device) {
  auto grants = [&device](mode_t read, mode_t write) { return (device.st_mode & (read | write)) == (read | write); };
  if (account == 0) return true;
  if (account == device.st_uid) return grants(S_IRUSR, S_IWUSR);
  if (std::find(groups.begin(), groups.end(), device.st_gid) != groups.end()) return grants(S_IRGRP, S_IWGRP);
  return grants(S_IROTH, S_IWOTH);
}

std::string AccountText(uid_t account) {
  std::string name;
  gid_t group = 0;
  std::string number = "uid " + std::to_string(account);
  return AccountOf(account, &name, &group) ? name + " (" + number + ")" : number;
}

// Any local account may make a file in a world-writable lock directory
// (/run/lock): one made by an account that cannot open the device is
// nobody's claim, or any user could keep every run out. A device with an
// access list grants more than its mode tells: its lock files count.
bool IsStrangersLock(const std::string& lockFile, const struct stat& lock, const std::string& devicePath,
                     std::string* problem) {
  struct stat dir {}, device {};
  if (lock.st_uid == 0 || stat(DirectoryOf(lockFile).c_str(), &dir) != 0 || (dir.st_mode & S_IWOTH) == 0)
    return false;
  if (stat(devicePath.c_str(), &device) != 0 || getxattr(devicePath.c_str(), "system.posix_acl_access", nullptr, 0) > 0)
    return false;
  if (MayOpen(lock.st_uid, GroupsOf(lock.st_uid, lock, dir), device)) return false;
  *problem = lockFile + " was made by " + AccountText(lock.st_uid) + ", who cannot open " + devicePath +
             ", and is no claim";
  return true;
}

}  // namespace

bool ParseLockOwner(const char* bytes, size_t size, long pidMax, pid_t* owner) {
  if (ParseTextOwner(bytes, size, pidMax, owner)) return true;
  int32_t binary = 0;
  if (size != sizeof binary) return false;
  std::memcpy(&binary, bytes, sizeof binary);
  if (binary <= 0 || binary > pidMax) return false;
  *owner = static_cast<pid_t>(binary);
  return true;
}

std::string LockFileFor(const std::string& devicePath) {
  std::string name = devicePath.compare(0, sizeof DevPrefix - 1, DevPrefix) == 0
                         ? devicePath.substr(sizeof DevPrefix - 1)
                         : devicePath;
  for (char& c : name)
    if (c == '/') c = '_';
  return LockDir() + "/LCK.." + name;
}

bool FindLiveLock(const std::string& lockFile, const std::string& devicePath, PortHolder* holder,
                  std::string* problem) {
  struct stat info {};
  if (lstat(lockFile.c_str(), &info) != 0 || IsStrangersLock(lockFile, info, devicePath, problem)) return false;
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
bool TakeLock(const std::string& lockFile, const std::string& devicePath, bool* taken, PortHolder* holder,
              std::string* problem) {
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
    } else if (FindLiveLock(lockFile, devicePath, holder, problem)) {
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

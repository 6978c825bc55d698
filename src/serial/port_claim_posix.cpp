#include "serial/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/kcmp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
const mode_t LockMode = 0644;
const size_t ScanThreadsMax = 4;
const char TemporaryPrefix[] = "LTMP.";
// A live run links its temporary within moments of making it, even one in a
// pid namespace this process cannot see: a minute old, it is left over.
const time_t LeftTemporaryAgeSeconds = 60;
// How long a look after an open waits for the claims begun with it to open.
const std::chrono::milliseconds OpeningWaitMax(50);

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

// ---- the processes that hold devices ------------------------------------------

struct HolderScan {
  std::mutex lock;
  std::condition_variable looked;
  int claims = 0;
  int opened = 0;                   // of the claims, those whose open returned
  bool taken = false;
  bool looking = false;             // a look after an open is on its way
  uint64_t covers = 0;              // the opens done when the last look began
  std::map<dev_t, pid_t> holders;   // each character device's first holder found
};

HolderScan& Scan() {
  static HolderScan scan;
  return scan;
}

// Opens of claimed ports so far, counted as each open returns.
std::atomic<uint64_t> Opens(0);

// What a descriptor leads to is stat'ed through its /proc link, which
// reaches the open file whatever name (or mount namespace) it was opened by.
// False when the links may not be followed (another account's process, or
// one this user may not trace): not ours to look into.
bool AddDevicesIn(const char* dir, pid_t processId, std::map<dev_t, pid_t>* holders) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno != EACCES && errno != EPERM;
  DIR* fds = fdopendir(fd);
  if (fds == nullptr) {
    close(fd);
    return true;
  }
  bool followed = true;
  while (dirent* entry = readdir(fds)) {
    struct stat info {};
    if (entry->d_name[0] == '.') continue;
    if (fstatat(dirfd(fds), entry->d_name, &info, 0) != 0) {
      followed = followed && errno != EACCES && errno != EPERM;
    } else if (S_ISCHR(info.st_mode)) {
      holders->emplace(info.st_rdev, processId);
    }
  }
  closedir(fds);
  return followed;
}

// Two threads' descriptor tables are one (kcmp); a failed comparison
// counts as two tables.
bool ShareTable(pid_t thread, pid_t other) { return syscall(SYS_kcmp, thread, other, KCMP_FILES, 0, 0) == 0; }

// The tables of the threads that do not share the first thread's (or one
// already looked at): unshare(CLONE_FILES) gives a thread its own, and a
// process whose first thread has ended shows none under /proc/PID/fd.
void AddDevicesOfThreads(pid_t processId, std::map<dev_t, pid_t>* holders) {
  std::string tasks = "/proc/" + std::to_string(processId) + "/task";
  DIR* entries = opendir(tasks.c_str());
  if (entries == nullptr) return;
  std::vector<pid_t> seen(1, processId);
  while (dirent* entry = readdir(entries)) {
    pid_t thread = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (thread <= 0 || std::any_of(seen.begin(), seen.end(), [thread](pid_t s) { return ShareTable(thread, s); }))
      continue;
    seen.push_back(thread);
    AddDevicesIn((tasks + "/" + entry->d_name + "/fd").c_str(), processId, holders);
  }
  closedir(entries);
}

// As lsof does, the threads' own tables too. /proc/PID/task has two links
// and one per thread: a process of one thread (most) costs one more stat.
void AddDevicesHeldBy(pid_t processId, std::map<dev_t, pid_t>* holders) {
  char dir[48];
  std::snprintf(dir, sizeof dir, "/proc/%d/fd", static_cast<int>(processId));
  if (!AddDevicesIn(dir, processId, holders)) return;  // nor its threads' then
  std::snprintf(dir, sizeof dir, "/proc/%d/task", static_cast<int>(processId));
  struct stat tasks {};
  if (stat(dir, &tasks) == 0 && tasks.st_nlink != 3) AddDevicesOfThreads(processId, holders);
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

// The device's holder from the claims' shared look (the first claim's, or a
// newer one), or from a look of its own outside any claim.
pid_t HolderBeforeOpen(dev_t device) {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  std::map<dev_t, pid_t> fresh;
  if (scan.claims > 0 && !scan.taken) {
    scan.covers = Opens.load();
    scan.holders = DevicesHeldByOthers();
    scan.taken = true;
  } else if (scan.claims == 0) {
    fresh = DevicesHeldByOthers();
  }
  const std::map<dev_t, pid_t>& holders = scan.claims > 0 ? scan.holders : fresh;
  auto found = holders.find(device);
  return found == holders.end() ? 0 : found->second;
}

// After an open: a look that began after it returned, shared by the claims
// whose opens returned before it began. It waits a moment for the claims
// still on their way to their open (a search's, begun together), and is
// taken outside the lock, so that the looks before those opens go on with
// the last look meanwhile.
pid_t HolderAfterOpen(dev_t device, uint64_t opened) {
  HolderScan& scan = Scan();
  std::unique_lock<std::mutex> hold(scan.lock);
  scan.looked.wait_for(hold, OpeningWaitMax, [&scan] { return scan.opened >= scan.claims; });
  while (scan.covers < opened) {
    if (scan.looking) {
      scan.looked.wait(hold);
      continue;
    }
    scan.looking = true;
    uint64_t covers = Opens.load();
    hold.unlock();
    std::map<dev_t, pid_t> holders = DevicesHeldByOthers();
    hold.lock();
    scan.holders.swap(holders);
    scan.covers = covers;
    scan.taken = true;
    scan.looking = false;
    scan.looked.notify_all();
  }
  auto found = scan.holders.find(device);
  return found == scan.holders.end() ? 0 : found->second;
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

void BeginClaim() {
  std::lock_guard<std::mutex> hold(Scan().lock);
  ++Scan().claims;
}

void EndClaim(bool opened) {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  if (opened && scan.opened > 0) --scan.opened;
  if (scan.claims > 0 && --scan.claims == 0) {
    scan.taken = false;
    scan.holders.clear();
  }
  scan.looked.notify_all();
}

uint64_t CountOpen() {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  ++scan.opened;
  scan.looked.notify_all();
  return ++Opens;
}

bool FindOtherHolder(dev_t device, PortHolder* holder, uint64_t opened) {
  pid_t processId = opened == 0 ? HolderBeforeOpen(device) : HolderAfterOpen(device, opened);
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

// The look at who holds what: every process's descriptor tables under
// /proc, its threads' own tables among them, as lsof takes them in.
#include "serial/process_look_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

namespace {

const size_t ScanThreadsMax = 4;
// The memory devices (/dev/null, /dev/zero, /dev/urandom...): nearly every
// process holds one, and none is ever a port (an open refuses them first).
const unsigned MemoryDevicesMajor = 1;
// O_PATH as /proc/PID/fdinfo/N's octal "flags:" shows it (x86, arm and most
// others; the kernel's value, not the C library's).
const unsigned long PathOnlyFlag = 010000000;

bool IsStopRequested(bool (*stopRequested)()) { return stopRequested != nullptr && stopRequested(); }

// The process, thread or descriptor ended meanwhile: nothing to look into.
bool Gone(int error) { return error == ENOENT || error == ESRCH; }

// A descriptor whose stat failed: its link may not be followed (the
// process is not this user's to look into), or the file refuses (one on
// another account's FUSE mount). Such a mount is an unprivileged one, and no
// device opens through it (nodev): passed over, and the look goes on.
bool LinkRefused(int fds, const char* name, int error) {
  char target[16];
  return !Gone(error) && readlinkat(fds, name, target, sizeof target) < 0 && !Gone(errno);
}

// What a descriptor leads to is stat'ed through its /proc link, which
// reaches the open file whatever name (or mount namespace) it was opened by.
// False when the table, or any descriptor's link in it, could not be looked
// into.
bool AddTable(const char* dir, pid_t processId, pid_t thread, ProcessLook* look) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Gone(errno);
  DIR* fds = fdopendir(fd);
  if (fds == nullptr) {
    close(fd);
    return false;
  }
  bool seen = true;
  while (dirent* entry = readdir(fds)) {
    struct stat info {};
    if (entry->d_name[0] == '.') continue;
    if (fstatat(dirfd(fds), entry->d_name, &info, 0) != 0) seen = seen && !LinkRefused(dirfd(fds), entry->d_name, errno);
    else if (S_ISCHR(info.st_mode) && major(info.st_rdev) != MemoryDevicesMajor)
      look->devices[info.st_rdev].push_back({processId, thread, std::atoi(entry->d_name)});
  }
  closedir(fds);
  return seen;
}

// kcmp orders descriptor tables: 0 one table, 1 the first thread's before
// the second's, 2 after it; -1 when it cannot tell (a thread gone, or not
// this user's to compare).
long CompareTables(pid_t thread, pid_t other) { return syscall(SYS_kcmp, thread, other, KCMP_FILES, 0, 0); }

enum TableKnown { TABLE_SEEN, TABLE_NEW, TABLE_UNKNOWN };

// Where thread's table stands among the tables seen, kept in kcmp's order:
// a binary search, so that a process of N threads with tables of their own
// costs N log N comparisons, not N²/2.
TableKnown FindTable(const std::vector<pid_t>& seen, pid_t thread, size_t* at) {
  size_t low = 0, high = seen.size();
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    long order = CompareTables(thread, seen[middle]);
    if (order == 0) return TABLE_SEEN;
    if (order == 1) high = middle;
    else if (order == 2) low = middle + 1;
    else return TABLE_UNKNOWN;
  }
  *at = low;
  return TABLE_NEW;
}

// The tables of the threads that do not share one already looked at:
// unshare(CLONE_FILES) gives a thread its own, and a process whose first
// thread has ended shows none under /proc/PID/fd. A thread that cannot be
// compared is looked at all the same. False when any could not be looked into.
bool AddThreadTables(pid_t processId, bool (*stopRequested)(), ProcessLook* look) {
  std::string tasks = "/proc/" + std::to_string(processId) + "/task";
  DIR* entries = opendir(tasks.c_str());
  if (entries == nullptr) return Gone(errno);
  std::vector<pid_t> seen(1, processId);
  bool all = true;
  while (dirent* entry = readdir(entries)) {
    if (IsStopRequested(stopRequested)) {
      look->stopped = true;
      break;
    }
    pid_t thread = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    size_t at = 0;
    TableKnown known = thread <= 0 ? TABLE_SEEN : FindTable(seen, thread, &at);
    if (known == TABLE_SEEN) continue;
    if (known == TABLE_NEW) seen.insert(seen.begin() + static_cast<std::ptrdiff_t>(at), thread);
    all = AddTable((tasks + "/" + entry->d_name + "/fd").c_str(), processId, thread, look) && all;
  }
  closedir(entries);
  return all;
}

// /proc/PID/task has two links and one per thread: a process of one thread
// (most) costs one stat more. Threads have their process's account: where
// its first table may not be looked into, neither may theirs, nor can their
// tables be compared, and each would be tried in vain.
void AddProcess(pid_t processId, bool (*stopRequested)(), ProcessLook* look) {
  char dir[48];
  std::snprintf(dir, sizeof dir, "/proc/%d/fd", static_cast<int>(processId));
  bool seen = AddTable(dir, processId, 0, look);
  std::snprintf(dir, sizeof dir, "/proc/%d/task", static_cast<int>(processId));
  struct stat tasks {};
  if (seen && stat(dir, &tasks) == 0 && tasks.st_nlink != 3) seen = AddThreadTables(processId, stopRequested, look);
  if (!seen) ++look->unseen;
}

struct LookPart {
  const std::vector<pid_t>* processes;
  size_t first, step;
  bool (*stopRequested)();
  ProcessLook look;
};

void LookAtPart(LookPart* part) {
  for (size_t i = part->first; i < part->processes->size() && !part->look.stopped; i += part->step) {
    if (IsStopRequested(part->stopRequested)) part->look.stopped = true;
    else AddProcess((*part->processes)[i], part->stopRequested, &part->look);
  }
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

void Merge(ProcessLook* into, ProcessLook* part) {
  for (auto& device : part->devices) {
    std::vector<DescriptorPlace>& places = into->devices[device.first];
    places.insert(places.end(), device.second.begin(), device.second.end());
  }
  into->unseen += part->unseen;
  into->stopped = into->stopped || part->stopped;
}

}  // namespace

// One kernel lookup per descriptor of every process: a thousand processes
// with thirty each cost tens of milliseconds, so the look is shared out over
// the processor's cores (the calling thread alone when no thread can be
// started).
ProcessLook LookAtProcesses(bool (*stopRequested)()) {
  std::vector<pid_t> processes = OtherProcesses();
  size_t count = std::max<size_t>(1, std::min<size_t>(std::thread::hardware_concurrency(), ScanThreadsMax));
  std::vector<LookPart> parts(count);
  for (size_t i = 0; i < count; ++i) parts[i] = {&processes, i, count, stopRequested, {}};
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < count; ++i) {
    try {
      helpers.emplace_back(LookAtPart, &parts[i]);
    } catch (const std::system_error&) {
      LookAtPart(&parts[i]);
    }
  }
  LookAtPart(&parts[0]);
  for (std::thread& helper : helpers) helper.join();
  for (size_t i = 1; i < count; ++i) Merge(&parts[0].look, &parts[i].look);
  return parts[0].look;
}

bool IsClaimingDescriptor(const DescriptorPlace& place) {
  char path[80];
  if (place.thread == 0) std::snprintf(path, sizeof path, "/proc/%d/fdinfo/%d", place.processId, place.fd);
  else std::snprintf(path, sizeof path, "/proc/%d/task/%d/fdinfo/%d", place.processId, place.thread, place.fd);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return !Gone(errno);
  char text[256] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  const char* flags = n > 0 ? std::strstr(text, "flags:") : nullptr;
  if (flags == nullptr) return true;
  return (std::strtoul(flags + 6, nullptr, 8) & PathOnlyFlag) == 0;
}

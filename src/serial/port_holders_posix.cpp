// Who else holds a device: one look at every process's descriptors (and
// its threads' own tables), shared by the claims in progress. The claims'
// other half, the lock files, is port_claim_posix.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "serial/port_claim_posix.h"

namespace {

const size_t ScanThreadsMax = 4;
// How long a look after an open waits for the claims begun with it to open.
const std::chrono::milliseconds OpeningWaitMax(50);

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

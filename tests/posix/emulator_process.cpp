#include "emulator_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

extern char** environ;

namespace {

bool LineHas(const std::string& line, const std::vector<std::string>& parts) {
  for (const std::string& part : parts)
    if (line.find(part) == std::string::npos) return false;
  return true;
}

// The holder's own view: the device bound over mountPoint in a mount
// namespace of its own. False when that cannot be made.
bool BindInOwnNamespace(const std::string& device, const std::string& mountPoint) {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(device.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// The holder's pid once it says it opened the port; -1 (and the holder
// ended) when it could not.
pid_t OnceOpened(pid_t pid, int ready[2]) {
  char opened = 0;
  if (pid < 0 || read(ready[0], &opened, 1) != 1 || opened != 1) {
    EndHolder(pid);
    pid = -1;
  }
  close(ready[0]);
  close(ready[1]);
  return pid;
}

// A dialout member's process as a program started under that account is:
// dumpable, so /proc shows it as the account's (a process that changed its
// ids without exec shows as root's there, readable by root in any sandbox).
bool BecomeAccount(HolderAccount account) {
  if (account == THIS_ACCOUNT) return true;
  group* dialout = getgrnam("dialout");
  gid_t groups[1] = {dialout != nullptr ? dialout->gr_gid : static_cast<gid_t>(20)};
  return setgroups(1, groups) == 0 && setresgid(Stranger(), Stranger(), Stranger()) == 0 &&
         setresuid(Stranger(), Stranger(), Stranger()) == 0 && prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0;
}

pid_t Hold(const std::string& path, bool exclusive, const std::string& mountPoint, HolderAccount account) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    bool bound = mountPoint.empty() || BindInOwnNamespace(path, mountPoint);
    const std::string& name = mountPoint.empty() ? path : mountPoint;
    int fd = bound && BecomeAccount(account) ? open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    if (exclusive) ioctl(fd, TIOCEXCL);
    char opened = fd >= 0 ? 1 : 0;
    if (write(ready[1], &opened, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  return OnceOpened(pid, ready);
}

// A FUSE mount of another account's over mountPoint, in a mount namespace of
// this process's own, that nobody serves: its root, as an O_PATH descriptor
// (which asks nothing of the file system). -1 when it cannot be made.
int MountNobodyServes(const std::string& mountPoint) {
  int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  char options[128];
  std::snprintf(options, sizeof options, "fd=%d,rootmode=40000,user_id=%u,group_id=%u", device, Stranger(), Stranger());
  bool mounted = device >= 0 && unshare(CLONE_NEWNS) == 0 &&
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                 mount("vfd-test", mountPoint.c_str(), "fuse", MS_NOSUID | MS_NODEV, options) == 0;
  return mounted ? open(mountPoint.c_str(), O_PATH | O_CLOEXEC) : -1;
}

struct ThreadHold {
  std::string path;
  bool ownTable;
  int ready;
};

// Answers 0 on ready and ends the process.
[[noreturn]] void CannotHold(int ready) {
  char opened = 0;
  if (write(ready, &opened, 1) != 1) _exit(1);
  _exit(1);
}

// Until the first thread of this process has ended: its table is gone.
bool FirstThreadEnded() {
  std::string fds = "/proc/" + std::to_string(getpid()) + "/fd";
  for (int tries = 0; tries < 30000; ++tries) {
    DIR* listing = opendir(fds.c_str());
    int entries = 0;
    while (listing != nullptr && readdir(listing) != nullptr) ++entries;
    if (listing != nullptr) closedir(listing);
    if (listing != nullptr && entries == 2) return true;  // . and ..
    usleep(1000);
  }
  return false;
}

void* HoldInThread(void* argument) {
  const ThreadHold* hold = static_cast<const ThreadHold*>(argument);
  bool ready = hold->ownTable ? unshare(CLONE_FILES) == 0 : FirstThreadEnded();
  char opened = ready && open(hold->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 1 : 0;
  if (write(hold->ready, &opened, 1) != 1) _exit(1);
  for (;;) pause();
}

std::string ownLinesParent;
pid_t ownLinesOwner = 0;

void RemoveOwnLinesDir() {
  if (getpid() != ownLinesOwner) return;  // a forked child that called exit()
  std::string lines = ownLinesParent + "/modem-lines";
  if (DIR* dir = opendir(lines.c_str())) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') unlink((lines + "/" + entry->d_name).c_str());
    closedir(dir);
  }
  rmdir(lines.c_str());
  rmdir(ownLinesParent.c_str());
}

// The emulators and the fixture of this test process meet in a directory of
// its own, which does not exist yet when the first emulator starts (as on a
// machine where none ever ran), unless whoever started the tests chose one.
// Reachable by every account, for the tests that run the program as another.
void UseOwnModemLinesDir() {
  const char* chosen = getenv("VFD_MODEM_LINES_DIR");
  if (chosen != nullptr && *chosen != '\0') return;
  std::string parent = MakeTempDir();
  if (parent.empty() || chmod(parent.c_str(), 0755) != 0) return;
  ownLinesParent = parent;
  ownLinesOwner = getpid();
  setenv("VFD_MODEM_LINES_DIR", (parent + "/modem-lines").c_str(), 1);
  atexit(RemoveOwnLinesDir);
}

}  // namespace

namespace {

// A child whose second thread opens path and keeps it (in a table of its own
// when ownTable), once prepare has made the child what the row needs; the
// first thread ends unless the holder has a table of its own.
pid_t HoldInSecondThread(const std::string& path, bool ownTable, const std::function<bool()>& prepare) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    static ThreadHold hold;
    hold = {path, ownTable, ready[1]};
    pthread_t thread;
    if (!prepare() || pthread_create(&thread, nullptr, HoldInThread, &hold) != 0) CannotHold(ready[1]);
    if (!ownTable) syscall(SYS_exit, 0);  // this thread alone, unwinding nothing
    for (;;) pause();
  }
  return OnceOpened(pid, ready);
}

}  // namespace

pid_t HoldPortInThread(const std::string& path, bool ownTable, HolderAccount account) {
  return HoldInSecondThread(path, ownTable, [account] { return BecomeAccount(account); });
}

pid_t HoldPortBehindAnUnreadableFile(const std::string& path, const std::string& mountPoint) {
  return HoldInSecondThread(path, true, [&mountPoint] { return MountNobodyServes(mountPoint) >= 0; });
}

pid_t HoldPortPathOnly(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    bool stranger = setgroups(0, nullptr) == 0 && BecomeStranger() && prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0;
    char opened = stranger && open(path.c_str(), O_PATH | O_CLOEXEC) >= 0 ? 1 : 0;
    if (write(ready[1], &opened, 1) != 1) _exit(1);
    for (;;) pause();
  }
  return OnceOpened(pid, ready);
}

pid_t HoldPortOnRequest(const std::string& path, int* request, int* ready) {
  int asked[2], answer[2];
  if (pipe(asked) != 0) return -1;
  if (pipe(answer) != 0) {
    close(asked[0]), close(asked[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    char go = 0, opened = 0;
    if (BecomeAccount(DIALOUT_MEMBER) && read(asked[0], &go, 1) == 1)
      opened = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 1 : 0;
    if (write(answer[1], &opened, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(asked[0]);
  close(answer[1]);
  *request = asked[1];
  *ready = answer[0];
  return pid;
}

pid_t HoldPort(const std::string& path, bool exclusive, HolderAccount account) {
  return Hold(path, exclusive, "", account);
}

pid_t HoldPortInOwnNamespace(const std::string& path, const std::string& mountPoint, bool exclusive,
                             HolderAccount account) {
  return Hold(path, exclusive, mountPoint, account);
}

void EndHolder(pid_t pid) {
  if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
}

termios LineSettings(const std::string& path, void (*change)(termios*)) {
  termios settings{};
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &settings);
  if (change != nullptr) {
    change(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  close(fd);
  return settings;
}

std::string MakeTempDir() {
  char name[] = "/tmp/vfd-linux-test-XXXXXX";
  return mkdtemp(name) != nullptr ? name : "";
}

std::string TextOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string LogHex(const expected::ByteList& bytes) {
  std::string hex = HexDigitsOf(bytes);
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

bool StartEmulator(const std::string& dir, const std::string& name, EmulatorProcess* emulator) {
  emulator->link = dir + "/" + name;
  emulator->control = dir + "/" + name + ".ctl";
  emulator->log = dir + "/" + name + ".log";
  emulator->store = dir + "/" + name + ".rec";
  UseOwnModemLinesDir();
  const char* argv[] = {VFD_EMULATOR, "--link", emulator->link.c_str(), "--control", emulator->control.c_str(),
                        "--log", emulator->log.c_str(), "--store", emulator->store.c_str(), "--no-display",
                        nullptr};
  if (posix_spawn(&emulator->pid, VFD_EMULATOR, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return false;
  return EmulatorLogHas(*emulator, {"\"event\":\"start\""});
}

void StopEmulator(EmulatorProcess* emulator) {
  if (emulator->pid > 0 && kill(emulator->pid, SIGTERM) == 0) waitpid(emulator->pid, nullptr, 0);
  emulator->pid = 0;
}

bool EmulatorControl(EmulatorProcess* emulator, const std::string& command) {
  std::ofstream(emulator->control, std::ios::app) << command << "\n";
  std::string ack = std::to_string(++emulator->commands) + " ok";
  return WaitUntil([&] { return TextOf(emulator->control + ".ack").compare(0, ack.size(), ack) == 0; });
}

size_t EmulatorLogCount(const EmulatorProcess& emulator, const std::vector<std::string>& parts) {
  std::istringstream lines(TextOf(emulator.log));
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) count += LineHas(line, parts);
  return count;
}

bool EmulatorLogHas(const EmulatorProcess& emulator, const std::vector<std::string>& parts) {
  return WaitUntil([&] { return EmulatorLogCount(emulator, parts) > 0; });
}

std::vector<std::string> EmulatorCommands(const EmulatorProcess& emulator, bool opensAndCloses) {
  std::vector<std::string> names;
  std::istringstream lines(TextOf(emulator.log));
  const std::string key = "\"name\":\"";
  for (std::string line; std::getline(lines, line);) {
    for (const char* event : {"open", "close"})
      if (opensAndCloses && LineHas(line, {"\"event\":\"" + std::string(event) + "\""})) names.push_back(event);
    size_t at = line.find(key);
    if (line.find("\"event\":\"command\"") == std::string::npos || at == std::string::npos) continue;
    at += key.size();
    names.push_back(line.substr(at, line.find('"', at) - at));
  }
  return names;
}

std::string EmulatorRecordHex(const EmulatorProcess& emulator) {
  std::string stored = TextOf(emulator.store);
  return HexOf(stored);
}

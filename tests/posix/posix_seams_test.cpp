// The POSIX serial port operations under the real serial link logic, against
// the display emulator on a pseudo-terminal (modem lines through the
// modem-lines fixture), and the POSIX port list over a fake /dev tree.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "discovery/port_list.h"
#include "emulator_process.h"
#include "protocol_expected.h"
#include "serial/port_claim_posix.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"
#include "unit_sandbox_posix.h"


namespace {

namespace fs = std::filesystem;

// Windows error codes, written out here rather than taken from win_types.h.
const DWORD ErrorInvalidFunction = 1;
const DWORD ErrorFileNotFound = 2;
const DWORD ErrorSharingViolation = 32;
const DWORD ErrorDeviceInUse = 2404;

std::u16string DevicePath(const std::string& path) { return std::u16string(path.begin(), path.end()); }

// Root opens an exclusive terminal all the same.
bool IsExclusive(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = 0;
  ioctl(fd, TIOCGEXCL, &exclusive);
  close(fd);
  return exclusive != 0;
}

termios Line(const std::string& path, void (*change)(termios*) = nullptr) { return LineSettings(path, change); }

// This process opens the port and hands the descriptor on to a child, as
// Wine's server does for a program; it closes its own first, then the child
// sends the enter command and closes.
bool Served(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), go[2];
  if (fd < 0 || pipe(go) != 0) return false;
  pid_t program = fork();
  if (program == 0) {
    const expected::ByteList& enter = expected::EnterCommand;
    char byte = 0;
    bool ok = read(go[0], &byte, 1) == 1 && write(fd, enter.data(), enter.size()) == static_cast<ssize_t>(enter.size());
    _exit(ok && close(fd) == 0 ? 0 : 1);
  }
  close(fd);
  int status = -1;
  bool ok = write(go[1], "1", 1) == 1 && waitpid(program, &status, 0) == program;
  close(go[0]);
  close(go[1]);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// This process, in a session of its own, with the terminal as its controlling one.
bool RunsOn(const std::string& terminal) { return setsid() >= 0 && open(terminal.c_str(), O_RDWR) >= 0; }

// The creations, writes and removals of one name that an inotify watch saw.
std::vector<uint32_t> LockFileEvents(int watch, const std::string& name) {
  std::vector<uint32_t> kinds;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = read(watch, buffer, sizeof buffer)) > 0) {
    for (char* at = buffer; at < buffer + n;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
      if (event->len > 0 && name == event->name) kinds.push_back(event->mask & ~IN_ISDIR);
      at += sizeof(inotify_event) + event->len;
    }
  }
  return kinds;
}

// What one open came to, in the shape a row runs in (a child process).
struct Attempt {
  bool opened;
  DWORD error;
  PortOpenDetail detail;
};
const DWORD NoHolderOpened = 0xFFFFFFFF;  // AttemptOpen's holder on request did not open

// Rows of other accounts and rows in the units' sandbox need root; without
// it they are said not to run, never skipped silently.
bool RunsHere(const char* what, RunShape shape, bool needsRoot) {
  if (geteuid() == 0 || (!needsRoot && shape == AT_A_ROOT_PROMPT)) return true;
  std::printf("[ NOT RUN  ] %s, %s: needs root\n", what, ShapeName(shape));
  return false;
}

// Exclusive mode a pty kept after its holder ended, cleared (by root).
void ClearExclusive(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ioctl(fd, TIOCNXCL);
  close(fd);
}

class EmulatedDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE((dir = MakeTempDir()).empty());
    ASSERT_TRUE(StartEmulator(dir, "port", &emulator));
    link = emulator.link;
  }
  void TearDown() override {
    StopEmulator(&emulator);
    fs::remove_all(dir);
  }
  bool Control(const std::string& command) { return EmulatorControl(&emulator, command); }
  bool LogHas(const std::vector<std::string>& parts) { return EmulatorLogHas(emulator, parts); }
  // Opened and set up as the write sequence does it.
  void OpenForWriting(SerialLink* serial) {
    ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), serial));
    ASSERT_TRUE(SaveLineSettings(serial));
    ASSERT_TRUE(ApplyLineProfile(serial, WRITE_PROFILE));
    ASSERT_TRUE(ApplyTimeouts(serial, WRITE_TIMEOUTS));
  }
  // The module's answer to the enter command, in hex.
  std::string Enter(SerialLink* serial) {
    const expected::ByteList& enter = expected::EnterCommand;
    DWORD count = 0;
    bool ok = DrainInput(serial) && WriteExact(serial, enter.data(), static_cast<DWORD>(enter.size())) &&
              ReadReply(serial, static_cast<DWORD>(expected::EnterAccepted.size()), &count);
    return ok ? HexOf(ReceiveBuffer, count) : "failed";
  }

  // One step of an open and close sequence (OpensAndClosesAreLoggedExactlyAndInOrder).
  bool Step(const std::string& step, std::map<std::string, int>* fds) {
    std::string verb = step.substr(0, step.find(' ')), name = step.substr(step.find(' ') + 1);
    const expected::ByteList& enter = expected::EnterCommand;
    if (verb == "open") (*fds)[name] = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (verb == "enter") return write((*fds)[name], enter.data(), enter.size()) == static_cast<ssize_t>(enter.size());
    if (verb == "close") return close((*fds)[name]) == 0;
    if (verb == "reset") return Control("reset-log");
    if (verb == "served") return Served(link);
    pid_t holder = verb == "killed" ? HoldPort(link, false) : 0;
    EndHolder(holder);
    if (verb == "killed") return holder > 0;
    return (*fds)[name] >= 0;
  }

  // What an open of the port (for a record: toWrite) came to. other: a port
  // this process holds meanwhile; written: one it opened for a record just
  // before (the last look began after that open); request, ready: a holder
  // that opens the port on request (HoldPortOnRequest), asked after this
  // process's look.
  Attempt AttemptOpen(bool toWrite, const std::string& other = "", int request = -1, int ready = -1,
                      const std::string& written = "") {
    Attempt attempt = {};
    SerialLink serial, held, third;
    bool holding = !other.empty() && OpenPort(DevicePath(other).c_str(), &held);
    bool writing = !written.empty() && OpenPortToWrite(DevicePath(written).c_str(), &third);
    char go = 1, opened = 0;
    bool asked = request < 0 || (write(request, &go, 1) == 1 && read(ready, &opened, 1) == 1 && opened == 1);
    attempt.opened = asked && (toWrite ? OpenPortToWrite : OpenPort)(DevicePath(link).c_str(), &serial);
    attempt.error = asked ? PortGetLastError() : NoHolderOpened;
    PortGetOpenDetail(&attempt.detail);
    if (attempt.opened) ClosePort(&serial);
    if (holding) ClosePort(&held);
    if (writing) ClosePort(&third);
    return attempt;
  }
  // The device, as a serial port's node: the dialout group may open it. And
  // the test's directory, which another account's holder walks through.
  void OpenToDialout(const std::string& device) {
    group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || dialout == nullptr) return;
    ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid) | chmod(device.c_str(), 0660) | chmod(dir.c_str(), 0755), 0);
  }

  EmulatorProcess emulator;
  std::string dir, link;
};

// The line starts foreign (9600, two stop bits, CR translation: more than a
// DCB says) and is exactly that again after the exchange.
TEST_F(EmulatedDisplay, WriteProfileReachesTheLineAndTheSettingsComeBackExactly) {
  Line(link, [](termios* line) {
    cfsetspeed(line, B9600);
    line->c_cflag |= CSTOPB;
    line->c_iflag |= ICRNL;
  });
  termios before = Line(link);
  ASSERT_EQ(cfgetospeed(&before), static_cast<speed_t>(B9600));

  SerialLink serial;
  ASSERT_NO_FATAL_FAILURE(OpenForWriting(&serial));
  EXPECT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  RestoreLineSettings(&serial);
  ClosePort(&serial);

  termios after = Line(link);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0)
      << std::oct << "cflag " << before.c_cflag << " became " << after.c_cflag;
  EXPECT_TRUE(LogHas({"\"rx\"", LogHex(expected::EnterCommand)}));
  EXPECT_TRUE(LogHas({"\"name\":\"enter\"", "\"baud\":38400", "\"data_bits\":8", "\"parity\":\"none\"",
                      "\"stop_bits\":1", "\"crtscts\":true", "\"clocal\":true", "\"dtr\":true"}));
}

TEST_F(EmulatedDisplay, HeldNonTerminalAndMissingPortsAreRefused) {
  SerialLink held, second, file;
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &held));
  EXPECT_TRUE(IsExclusive(link)) << "no TIOCEXCL while the port is in use";
  EXPECT_FALSE(OpenPort(DevicePath(link).c_str(), &second));
  EXPECT_EQ(PortGetLastError(), ErrorSharingViolation);
  ClosePort(&held);
  EXPECT_FALSE(IsExclusive(link));
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &second));
  ClosePort(&second);

  // Nothing but a serial device is even opened, whoever holds it: a file,
  // a directory, a character device of another kind, the pty multiplexer.
  std::string plain = dir + "/plain";
  std::ofstream(plain).flush();
  pid_t nullHolder = HoldPort("/dev/null", false);
  for (const std::string& path : {plain, dir, std::string("/dev/null"), std::string("/dev/ptmx")}) {
    EXPECT_FALSE(OpenPort(DevicePath(path).c_str(), &file)) << path;
    EXPECT_EQ(PortGetLastError(), ErrorInvalidFunction) << path;
  }
  EndHolder(nullHolder);
  EXPECT_EQ(fs::file_size(plain), 0u);
  EXPECT_FALSE(OpenPort(DevicePath(dir + "/absent").c_str(), &file));
  EXPECT_EQ(PortGetLastError(), ErrorFileNotFound);

  // The system console, and the terminal the program runs on, are someone's screen.
  EXPECT_FALSE(OpenPort(u"/dev/console", &file));
  EXPECT_EQ(PortGetLastError(), ErrorDeviceInUse);
  int own = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(own >= 0 && grantpt(own) == 0 && unlockpt(own) == 0);
  std::string terminal = ptsname(own);
  EXPECT_TRUE(InAChild([&] {
    return RunsOn(terminal) && !OpenPort(DevicePath(terminal).c_str(), &file) && PortGetLastError() == ErrorDeviceInUse;
  })) << "its own terminal was opened";
  close(own);
}

// Another program's claim on the port, in each of its forms, makes the port
// busy (root included, at a prompt and in the units' sandbox), names the
// holder where it can, and is left as it was. Root's view of who holds the
// port is by device, not by name: a program in a container reaches the pty
// through a bind mount in its own namespace. A POS application runs under an
// account of its own, a member of dialout.
TEST_F(EmulatedDisplay, AnotherProgramsPortIsBusy) {
  // UUCP style: LCK.. and the device's name under /dev, '/' as '_'.
  std::string canonical = fs::canonical(link).string(), device = canonical.substr(5);
  std::replace(device.begin(), device.end(), '/', '_');
  std::string lockFile = std::string(getenv("VFDSTARTUP_LOCK_DIR")) + "/LCK.." + device;
  std::string mountPoint = dir + "/container-tty", fuseMount = dir + "/fuse";
  std::ofstream(mountPoint).flush();
  fs::create_directory(fuseMount);
  ASSERT_NO_FATAL_FAILURE(OpenToDialout(canonical));
  if (geteuid() == 0) {
    ASSERT_EQ(TheUnitSandbox().problem, "") << "the units' sandbox is not reproduced";
  }
  SerialLink serial;
  // A thread's own descriptor table, or a process whose first thread ended,
  // hides nothing; nor, from the port a record goes to, does a holder that
  // opened it after this process's look while it holds another port (that
  // open looks again, even a look that began just before this open: a third
  // port's, before its record); nor does a descriptor root may not stat hide
  // the rest of its process. An O_PATH descriptor (it can neither read nor
  // write) is no claim. The rows in exclusive mode come last: a pty keeps
  // it after its holder has ended.
  enum Holding { OPENED, OWN_TABLE, FIRST_THREAD_ENDED, AFTER_THE_LOOK, JUST_BEFORE_THIS_OPEN, IN_OWN_NAMESPACE,
                 BEHIND_AN_UNREADABLE_FILE, PATH_ONLY };
  const struct {
    const char* what;
    bool exclusive;
    Holding holding;
    HolderAccount account;
  } holders[] = {
      {"open", false, OPENED, THIS_ACCOUNT},
      {"a dialout member's, open", false, OPENED, DIALOUT_MEMBER},
      {"a dialout member's thread with a descriptor table of its own", false, OWN_TABLE, DIALOUT_MEMBER},
      {"a dialout member's process whose first thread has ended", false, FIRST_THREAD_ENDED, DIALOUT_MEMBER},
      {"a dialout member's, opened after this process's look, while it holds another port", false, AFTER_THE_LOOK,
       DIALOUT_MEMBER},
      {"a dialout member's, opened after a look that began just before this open", false, JUST_BEFORE_THIS_OPEN,
       DIALOUT_MEMBER},
      {"a thread's own table, beside a file root may not stat", false, BEHIND_AN_UNREADABLE_FILE, THIS_ACCOUNT},
      {"an O_PATH descriptor of an account that may not open it: no claim", false, PATH_ONLY, THIS_ACCOUNT},
      {"exclusive mode", true, OPENED, THIS_ACCOUNT},
      {"a dialout member's, through a bind mount in its own namespace", true, IN_OWN_NAMESPACE, DIALOUT_MEMBER}};
  int otherPort = posix_openpt(O_RDWR | O_NOCTTY), thirdPort = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(otherPort >= 0 && grantpt(otherPort) == 0 && unlockpt(otherPort) == 0);
  ASSERT_TRUE(thirdPort >= 0 && grantpt(thirdPort) == 0 && unlockpt(thirdPort) == 0);
  std::string otherName = ptsname(otherPort), thirdName = ptsname(thirdPort);
  DWORD promptUnseen = 0;
  for (const auto& h : holders) {
    for (RunShape shape : BothShapes) {
      SCOPED_TRACE(std::string(h.what) + ", " + ShapeName(shape));
      if (!RunsHere(h.what, shape, h.account == DIALOUT_MEMBER || h.holding == IN_OWN_NAMESPACE ||
                                       h.holding == BEHIND_AN_UNREADABLE_FILE || h.holding == PATH_ONLY))
        continue;
      ClearExclusive(canonical);  // an earlier row's holder's: only root opens the pty then
      bool justBefore = h.holding == JUST_BEFORE_THIS_OPEN, afterALook = h.holding == AFTER_THE_LOOK || justBefore;
      int request = -1, ready = -1;
      pid_t holder = h.holding == IN_OWN_NAMESPACE ? HoldPortInOwnNamespace(canonical, mountPoint, true, h.account)
                     : h.holding == OWN_TABLE || h.holding == FIRST_THREAD_ENDED
                         ? HoldPortInThread(canonical, h.holding == OWN_TABLE, h.account)
                     : afterALook                             ? HoldPortOnRequest(canonical, &request, &ready)
                     : h.holding == BEHIND_AN_UNREADABLE_FILE ? HoldPortBehindAnUnreadableFile(canonical, fuseMount)
                     : h.holding == PATH_ONLY                 ? HoldPortPathOnly(canonical)
                                                              : HoldPort(canonical, h.exclusive, h.account);
      if (h.holding == BEHIND_AN_UNREADABLE_FILE && holder < 0) {  // said, never skipped silently
        std::printf("[ NOT RUN  ] %s: no FUSE here\n", h.what);
        continue;
      }
      ASSERT_GT(holder, 0);
      Attempt attempt = {};
      EXPECT_TRUE(InShape<Attempt>(shape, [&] {
        return AttemptOpen(afterALook, afterALook ? otherName : "", request, ready, justBefore ? thirdName : "");
      }, &attempt));
      bool busy = h.holding != PATH_ONLY;
      EXPECT_EQ(attempt.opened, !busy);
      if (busy) {
        EXPECT_EQ(attempt.error, ErrorSharingViolation);
        EXPECT_EQ(attempt.detail.holderProcessId, static_cast<DWORD>(holder));
      }
      // The units look into every process root at a prompt looks into.
      if (shape == AT_A_ROOT_PROMPT) promptUnseen = attempt.detail.unseenProcesses;
      else EXPECT_EQ(attempt.detail.unseenProcesses, promptUnseen) << "processes the units could not look into";
      EXPECT_EQ(IsExclusive(link), h.exclusive) << "another program's exclusive mode changed";
      EXPECT_FALSE(fs::exists(lockFile)) << "a lock file left on a port that is not used";
      if (request >= 0) close(request), close(ready);
      EndHolder(holder);
    }
  }
  close(otherPort);
  close(thirdPort);
  // The pty kept the ended holder's exclusive mode: a leftover, used, and
  // left as it was found (it may be a claim of a holder this user cannot see).
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &serial));
  ClosePort(&serial);
  EXPECT_TRUE(IsExclusive(link)) << "exclusive mode this program did not set was cleared";
  ClearExclusive(canonical);
  // Lock files: a live process's, as text or as an old binary 4-byte pid,
  // another account's that only it may read among them; one that names
  // nobody it can tell (empty, garbage, 4 bytes that are no process id, an
  // ended process's id with more after it) is reported and kept.
  int live = static_cast<int>(getppid());
  pid_t ended = HoldPort("/dev/null", false);
  EndHolder(ended);
  const struct {
    const char* what;
    std::string content;
    DWORD owner;
    bool othersOnly;  // another account's, mode 0600
  } locks[] = {
      {"text", "    " + std::to_string(live) + "\n", static_cast<DWORD>(live), false},
      {"binary", std::string(reinterpret_cast<const char*>(&live), sizeof live), static_cast<DWORD>(live), false},
      {"another account's, that only it may read", "    " + std::to_string(live) + "\n", static_cast<DWORD>(live), true},
      {"empty", "", 0, false},
      {"garbage", "uucp\n", 0, false},
      {"4 bytes of garbage", "junk", 0, false},
      {"4 bytes of a negative number", "  -5", 0, false},
      {"an ended process's id with more after it", std::to_string(ended) + "x\n", 0, false},
  };
  for (const auto& lock : locks) {
    for (RunShape shape : BothShapes) {
      SCOPED_TRACE(std::string(lock.what) + ", " + ShapeName(shape));
      if (!RunsHere(lock.what, shape, lock.othersOnly)) continue;
      std::ofstream(lockFile) << lock.content;
      ASSERT_TRUE(!lock.othersOnly || (chown(lockFile.c_str(), Stranger(), Stranger()) == 0 && chmod(lockFile.c_str(), 0600) == 0));
      Attempt attempt = {};
      ASSERT_TRUE(InShape<Attempt>(shape, [&] { return AttemptOpen(false); }, &attempt));
      EXPECT_FALSE(attempt.opened);
      EXPECT_EQ(attempt.error, ErrorSharingViolation);
      EXPECT_EQ(std::string(attempt.detail.lockFile), lockFile);
      EXPECT_EQ(attempt.detail.holderProcessId, lock.owner);
      EXPECT_EQ(TextOf(lockFile), lock.content) << "another program's lock file was changed";
      fs::remove(lockFile);
    }
  }
  pid_t stale = HoldPort("/dev/null", false);
  EndHolder(stale);
  std::ofstream(lockFile) << "    " << stale << "\n";
  // Temporaries beside the locks: only this program's form, of an ended
  // process, a minute old or more, is left over and removed.
  std::string lockDir = getenv("VFDSTARTUP_LOCK_DIR");
  const struct {
    std::string name;
    int ageSeconds;
    bool removed;
  } temporaries[] = {
      {"LTMP." + std::to_string(stale) + ".0", 120, true},
      {"LTMP." + std::to_string(stale) + ".1", 5, false},
      {"LTMP." + std::to_string(live) + ".0", 120, false},
      {"LTMP." + std::to_string(stale), 120, false},
      {"LTMP." + std::to_string(stale) + ".0x", 120, false},
  };
  for (const auto& t : temporaries) {
    std::ofstream(lockDir + "/" + t.name) << "    " << stale << "\n";
    timespec times[2] = {{time(nullptr) - t.ageSeconds, 0}, {time(nullptr) - t.ageSeconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (lockDir + "/" + t.name).c_str(), times, 0), 0);
  }
  // This program's own lock file never exists without its owner in it: it
  // is written under another name and linked to its own.
  int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(inotify_add_watch(watch, getenv("VFDSTARTUP_LOCK_DIR"), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE), 0);
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &serial));
  std::string ours = TextOf(lockFile);
  EXPECT_EQ(ours, std::string(10 - std::to_string(getpid()).size(), ' ') + std::to_string(getpid()) + "\n");
  ClosePort(&serial);
  EXPECT_FALSE(fs::exists(lockFile)) << "the lock file outlived the port's use";
  EXPECT_EQ(LockFileEvents(watch, fs::path(lockFile).filename()),
            (std::vector<uint32_t>{IN_DELETE, IN_CREATE, IN_DELETE}))
      << "the stale lock removed, ours made whole and removed";
  close(watch);
  for (const auto& t : temporaries) {
    EXPECT_EQ(fs::exists(lockDir + "/" + t.name), !t.removed) << t.name;
    fs::remove(lockDir + "/" + t.name);
  }
  // Without a lock directory to write to, the port is used all the same, and said so.
  setenv("VFDSTARTUP_LOCK_DIR", (dir + "/nolock").c_str(), 1);
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &serial));
  PortOpenDetail unlocked;
  PortGetOpenDetail(&unlocked);
  ClosePort(&serial);
  setenv("VFDSTARTUP_LOCK_DIR", lockDir.c_str(), 1);
  EXPECT_NE(std::string(unlocked.lockProblem).find(dir + "/nolock"), std::string::npos) << unlocked.lockProblem;
}

// Another account's claims hold for an ordinary user: a lock file of its
// live process (the liveness check answers EPERM) and its exclusive mode
// (the open answers EBUSY). The processes it may not look into (root's, the
// holder's among them) are counted: more than root's look leaves out.
TEST_F(EmulatedDisplay, AnotherAccountsClaimsHoldForAnOrdinaryUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another account";
  std::string lockDir = getenv("VFDSTARTUP_LOCK_DIR");
  std::string device = fs::canonical(link).string();
  std::string lockFile = lockDir + "/LCK.." + device.substr(5);
  std::replace(lockFile.begin() + static_cast<long>(lockDir.size()) + 1, lockFile.end(), '/', '_');
  ASSERT_EQ(chmod(dir.c_str(), 0755) | chmod(lockDir.c_str(), 0777) | chmod(device.c_str(), 0666), 0);
  std::ofstream(lockFile) << "    " << getpid() << "\n";
  pid_t exclusive = -1;
  for (bool locked : {true, false}) {
    SCOPED_TRACE(locked ? "lock file" : "exclusive mode");
    if (!locked) fs::remove(lockFile), exclusive = HoldPort(device, true);
    DWORD rootUnseen = AttemptOpen(false).detail.unseenProcesses;
    EXPECT_TRUE(InAChild([&] {
      SerialLink serial;
      PortOpenDetail detail;
      bool busy = BecomeStranger() && !OpenPort(DevicePath(link).c_str(), &serial) &&
                  PortGetLastError() == ErrorSharingViolation;
      PortGetOpenDetail(&detail);
      return busy && (locked || detail.unseenProcesses > rootUnseen);
    })) << "not busy, or the processes it could not look into not counted";
    EXPECT_EQ(fs::exists(lockFile), locked) << "a live process's lock file was removed";
  }
  EndHolder(exclusive);
}

// A stop request ends the look at who holds the port at once: before the
// open, the port is never opened; in the look before a record, the port is
// given up again before a byte goes. Either open fails as aborted (995).
const char* StopOnceThere = nullptr;  // stop once this file exists; null: at once
bool StopRequestedForTest() { return StopOnceThere == nullptr || fs::exists(StopOnceThere); }

TEST_F(EmulatedDisplay, AStopRequestEndsTheLookAtOnce) {
  std::string device = fs::canonical(link).string().substr(5);
  std::replace(device.begin(), device.end(), '/', '_');
  std::string lockFile = std::string(getenv("VFDSTARTUP_LOCK_DIR")) + "/LCK.." + device;
  const struct {
    const char* what;
    const char* stopOnceThere;  // the lock file: the port is open and claimed
    bool toWrite;
    std::vector<std::string> events;
  } rows[] = {
      {"during the look before the open", nullptr, false, {}},
      {"during the look before a record", lockFile.c_str(), true, {"open", "close"}},
  };
  const DWORD ErrorOperationAborted = 995;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(Control("reset-log"));
    StopOnceThere = row.stopOnceThere;
    PortSetStopCheck(StopRequestedForTest);
    Attempt attempt = AttemptOpen(row.toWrite);
    PortSetStopCheck(nullptr);
    EXPECT_FALSE(attempt.opened);
    EXPECT_EQ(attempt.error, ErrorOperationAborted);
    ASSERT_TRUE(Control("mode normal"));
    EXPECT_EQ(EmulatorCommands(emulator, true), row.events) << "anything but an open and its close";
    EXPECT_FALSE(fs::exists(lockFile));
  }
}

// The holder look leaves out this process alone: a port its parent holds is
// busy for it, and names the parent.
TEST_F(EmulatedDisplay, APortTheParentHoldsIsBusy) {
  int held = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  EXPECT_TRUE(InAChild([&] {
    SerialLink serial;
    PortOpenDetail detail;
    bool opened = OpenPort(DevicePath(link).c_str(), &serial);
    PortGetOpenDetail(&detail);
    return !opened && PortGetLastError() == ErrorSharingViolation && detail.holderProcessId == static_cast<DWORD>(getppid());
  })) << "the parent's descriptor was not seen";
  close(held);
}

// Anyone may make a file in a world-writable lock directory: one made by an
// account that cannot open the device is no claim (the port is used, a
// warning names the file and its maker, the file stays). One made by an
// account that can, or in a directory only root may write to, is a claim;
// so is one whose maker the device's access list lets open it (as a seat's
// user is given it).
TEST_F(EmulatedDisplay, AStrangersLockFileIsNoClaim) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files of other accounts";
  std::string lockDir = getenv("VFDSTARTUP_LOCK_DIR");
  std::string device = fs::canonical(link).string();
  std::string lockFile = lockDir + "/LCK.." + device.substr(5);
  std::replace(lockFile.begin() + static_cast<long>(lockDir.size()) + 1, lockFile.end(), '/', '_');
  uid_t stranger = Stranger();
  gid_t deviceGroup = Stranger() + 1;
  const struct {
    const char* what;
    mode_t dirMode, deviceMode;
    uid_t deviceOwner;
    gid_t lockGroup;
    bool claim;
  } rows[] = {
      {"a stranger's, in a world-writable directory", 01777, 0660, 0, stranger, false},
      {"made with the device's group", 01777, 0660, 0, deviceGroup, true},
      {"made by the device's owner", 01777, 0600, stranger, stranger, true},
      {"a device anyone may open", 01777, 0666, 0, stranger, true},
      {"a stranger's, in a directory only root writes to", 0755, 0660, 0, stranger, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(chmod(lockDir.c_str(), row.dirMode) | chown(device.c_str(), row.deviceOwner, deviceGroup) |
                  chmod(device.c_str(), row.deviceMode),
              0);
    std::ofstream(lockFile) << "    " << getppid() << "\n";
    ASSERT_EQ(chown(lockFile.c_str(), stranger, row.lockGroup), 0);
    SerialLink serial;
    bool opened = OpenPort(DevicePath(link).c_str(), &serial);
    PortOpenDetail detail;
    PortGetOpenDetail(&detail);
    if (opened) ClosePort(&serial);
    EXPECT_EQ(opened, !row.claim);
    std::string warning = detail.lockProblem;
    bool named = warning.find(lockFile) != std::string::npos &&
                 warning.find("uid " + std::to_string(stranger)) != std::string::npos;
    EXPECT_EQ(named, !row.claim) << warning;
    EXPECT_EQ(TextOf(lockFile), "    " + std::to_string(getppid()) + "\n") << "another account's file was changed";
    fs::remove(lockFile);
  }
  // A pseudo-terminal keeps no access list: a file that does stands in for the device.
  std::string listed = dir + "/listed";
  std::ofstream(listed).flush();
  std::ofstream(lockFile) << "    " << getppid() << "\n";
  ASSERT_EQ(chmod(lockDir.c_str(), 01777) | chmod(listed.c_str(), 0660) | chown(lockFile.c_str(), stranger, stranger),
            0);
  ASSERT_EQ(system(("setfacl -m u:" + std::to_string(stranger) + ":rw " + listed).c_str()), 0);
  PortHolder holder;
  std::string problem;
  EXPECT_TRUE(FindLiveLock(lockFile, listed, &holder, &problem)) << problem;
  chmod(lockDir.c_str(), 0700);
}

// A cooked 38400 8N1 line gives the same DCB as the probe profile; applying
// the profile must still make it raw, or the reply would wait for a newline.
TEST_F(EmulatedDisplay, ProbeLineIsRawAndCtsFollowsTheModule) {
  Line(link, [](termios* line) { line->c_lflag |= ICANON | ECHO; });
  SerialLink serial;
  ASSERT_TRUE(OpenPort(DevicePath(link).c_str(), &serial));
  ASSERT_TRUE(SaveLineSettings(&serial));
  ASSERT_TRUE(ApplyLineProfile(&serial, PROBE_PROFILE));
  EXPECT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  // The probe looks at CTS itself: no flow control that could hold its bytes.
  EXPECT_TRUE(LogHas({"\"name\":\"enter\"", "\"crtscts\":false", "\"clocal\":true"}));
  EXPECT_TRUE(IsCtsUp(&serial));
  ASSERT_TRUE(Control("mode cts-down"));
  EXPECT_FALSE(IsCtsUp(&serial));
  RestoreLineSettings(&serial);
  ClosePort(&serial);
}

// The emulator hangs up after the first record byte: the next read fails at
// once (no reply wait) and so does the next write.
TEST_F(EmulatedDisplay, HungUpLineFailsReadsAndWrites) {
  ASSERT_TRUE(Control("mode hangup 1"));
  SerialLink serial;
  ASSERT_NO_FATAL_FAILURE(OpenForWriting(&serial));
  ASSERT_EQ(Enter(&serial), HexOf(expected::EnterAccepted));
  expected::ByteList writeStart = expected::WriteCommand;
  writeStart.push_back(expected::DefaultSpeedCode);
  ASSERT_TRUE(WriteExact(&serial, writeStart.data(), static_cast<DWORD>(writeStart.size())));
  ASSERT_TRUE(LogHas({"\"event\":\"hangup\""}));
  DWORD count = 0;
  EXPECT_FALSE(ReadReply(&serial, static_cast<DWORD>(expected::WriteConfirmed.size()), &count));
  const expected::ByteList& exit = expected::ExitCommand;
  EXPECT_FALSE(WriteExact(&serial, exit.data(), static_cast<DWORD>(exit.size())));
  ClosePort(&serial);
}

// The emulator's open and close events, for sequences of opens and closes
// with no pause between them: each step is a real call by this process (or
// a child), which loads the modem-lines fixture as every program under test
// does. Steps: "open A", "enter A" (the enter command on A), "close A";
// "reset" (the log emptied); "served" (see Served); "killed" (a child opens
// the port and is killed: no close call at all).
struct EventCase {
  const char* what;
  std::vector<std::string> steps;
  std::vector<std::string> events;  // open, close and the names of the commands, in order
};

std::vector<std::string> Times(int count, const std::vector<std::string>& part) {
  std::vector<std::string> all;
  for (int i = 0; i < count; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(EmulatedDisplay, OpensAndClosesAreLoggedExactlyAndInOrder) {
  const EventCase cases[] = {
      {"quick open and close", Times(10, {"open A", "enter A", "close A"}), Times(10, {"open", "enter", "close"})},
      {"two holders", {"open A", "open B", "enter A", "close A", "enter B", "close B"},
       {"open", "enter", "enter", "close"}},
      {"open during a reset", {"open A", "reset", "enter A", "close A"}, {"enter", "close"}},
      {"closed just before a reset", {"open A", "enter A", "close A", "reset"}, {}},
      {"the server opens, the program holds", {"served"}, {"open", "enter", "close"}},
      {"killed while holding", {"killed", "open A", "close A"}, {"open", "close", "open", "close"}},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Control("reset-log"));
    std::map<std::string, int> fds;
    for (const std::string& step : c.steps) ASSERT_TRUE(Step(step, &fds)) << step;
    // A last control command: everything before it is in the log once it is acknowledged.
    ASSERT_TRUE(Control("mode normal"));
    EXPECT_EQ(EmulatorCommands(emulator, true), c.events);
  }
}

// A write ends at its deadline counting only the bytes that left: a UART
// whose CTS is held down keeps what it was given (the modem-lines fixture
// reports 5 bytes still in the driver), and a pty nobody reads stops taking
// bytes, as with a module that holds CTS down.
// A lock file is read as a process id only in one of the two forms, text
// digits with blanks or a binary pid a process can have (up to 4194304):
// anything else is a claim of somebody's that is kept, never taken for an
// ended process and removed.
TEST(PosixLockFile, OnlyAProcessIdInEitherFormIsTakenForOne) {
  std::string dir = MakeTempDir();
  std::string lockFile = dir + "/LCK..ttyX";
  pid_t ended = HoldPort("/dev/null", false);
  EndHolder(ended);
  std::string endedText = std::to_string(ended);
  const struct {
    const char* what;
    std::string content;
    bool removed;
  } locks[] = {
      {"text of an ended process", "  " + endedText + "\n", true},
      {"binary pid of an ended process", std::string(reinterpret_cast<const char*>(&ended), 4), true},
      {"four letters", "junk", false},
      {"four bytes of a negative text", "  -5", false},
      {"text with a NUL inside", "  " + endedText + std::string(1, '\0') + "x\n", false},
      {"text with garbage past its blanks", endedText + std::string(40, ' ') + "x", false},
      {"text of process id 0", "         0\n", false},
  };
  for (const auto& lock : locks) {
    SCOPED_TRACE(lock.what);
    std::ofstream(lockFile) << lock.content;
    PortHolder holder;
    std::string problem;
    EXPECT_EQ(FindLiveLock(lockFile, "/dev/null", &holder, &problem), !lock.removed);
    EXPECT_EQ(fs::exists(lockFile), !lock.removed);
    EXPECT_EQ(holder.processId, 0);
    EXPECT_EQ(holder.program, "") << "a holder named";
    fs::remove(lockFile);
  }
  fs::remove_all(dir);
}

TEST(PosixPortWrite, EndsAtTheDeadlineCountingOnlyWhatLeft) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
  SerialLink serial;
  ASSERT_TRUE(OpenPort(DevicePath(ptsname(master)).c_str(), &serial));
  ASSERT_TRUE(SaveLineSettings(&serial) && ApplyLineProfile(&serial, WRITE_PROFILE));
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 200};
  ASSERT_TRUE(PortSetCommTimeouts(serial.handle, &timeouts));
  const expected::ByteList& exit = expected::ExitCommand;
  setenv("VFD_OUTPUT_QUEUED", "5", 1);
  DWORD written = 0;
  EXPECT_TRUE(PortWriteFile(serial.handle, exit.data(), static_cast<DWORD>(exit.size()), &written));
  unsetenv("VFD_OUTPUT_QUEUED");
  EXPECT_EQ(written, exit.size() - 5) << "bytes still queued counted as written";
  std::vector<BYTE> bytes(1 << 20, 0x55);
  EXPECT_TRUE(PortWriteFile(serial.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, bytes.size());
  ClosePort(&serial);
  close(master);
}

// What arrived before the exchange cannot pass for the module's answer.
TEST(PosixPortPurge, DropsInputThatArrivedEarlier) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
  SerialLink serial;
  ASSERT_TRUE(OpenPort(DevicePath(ptsname(master)).c_str(), &serial));
  ASSERT_TRUE(SaveLineSettings(&serial) && ApplyLineProfile(&serial, PROBE_PROFILE));
  ASSERT_EQ(write(master, "\x28\x65\x01\x00", 4), 4);
  // The terminal's input queue, seen through a second descriptor.
  int watch = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
  auto unread = [watch] {
    int count = -1;
    ioctl(watch, FIONREAD, &count);
    return count;
  };
  ASSERT_TRUE(WaitUntil([&] { return unread() == 4; }));
  PurgePort(&serial);
  EXPECT_EQ(unread(), 0);
  BYTE byte = 0;
  DWORD count = 0;
  EXPECT_TRUE(PortReadFile(serial.handle, &byte, 1, &count));
  EXPECT_EQ(count, 0u);
  RestoreLineSettings(&serial);
  ClosePort(&serial);
  close(watch);
  close(master);
}

// The process id in a lock file's bytes: HDB text, or a 4-byte binary pid
// (little-endian here), either a process id the kernel could hand out
// (pid_max 32768 in these rows). 0: none this program can tell.
TEST(PosixLockFile, OwnerIsAProcessIdTheKernelCouldHandOut) {
  const struct {
    const char* what;
    std::string bytes;
    pid_t owner;
  } rows[] = {
      {"text", "      4711\n", 4711},
      {"text without a line end", "4711", 4711},
      {"binary", std::string("\x67\x12\x00\x00", 4), 4711},
      {"binary pid_max", std::string("\x00\x80\x00\x00", 4), 32768},
      {"digits and NULs are binary: a text lock never holds NUL", std::string("\x39\x30\x00\x00", 4), 12345},
      {"text with a NUL", std::string("4711\0\n", 6), 0},
      {"binary above pid_max", std::string("\x01\x80\x00\x00", 4), 0},
      {"binary 0", std::string(4, '\0'), 0},
      {"binary negative", std::string("\xff\xff\xff\xff", 4), 0},
      {"4 bytes of garbage", "junk", 0},
      {"4 bytes of a negative number", "  -5", 0},
      {"text above pid_max", "     32769\n", 0},
      {"text with more after it", "  4711x\n", 0},
  };
  for (const auto& row : rows) {
    pid_t owner = 0;
    bool told = ParseLockOwner(row.bytes.data(), row.bytes.size(), 32768, &owner);
    EXPECT_EQ(told ? owner : 0, row.owner) << row.what;
  }
}

// A stale lock found when the link fails is removed, and the lock is taken
// on the second try: it names this process.
TEST(PosixLockFile, TakenOverAStaleLock) {
  std::string lockFile = std::string(getenv("VFDSTARTUP_LOCK_DIR")) + "/LCK..stale-test";
  pid_t ended = HoldPort("/dev/null", false);
  EndHolder(ended);
  std::ofstream(lockFile) << "    " << ended << "\n";
  bool taken = false;
  PortHolder holder;
  std::string problem;
  EXPECT_TRUE(TakeLock(lockFile, "/dev/null", &taken, &holder, &problem));
  EXPECT_TRUE(taken) << problem;
  std::string own = std::to_string(getpid());
  EXPECT_EQ(TextOf(lockFile), std::string(10 - own.size(), ' ') + own + "\n");
  ReleaseLock(lockFile);
  EXPECT_FALSE(fs::exists(lockFile));
}

TEST(PosixPortList, ConfiguredPortThenDevicesInNaturalOrder) {
  std::string root = MakeTempDir();
  ASSERT_FALSE(root.empty());
  fs::create_directories(root + "/serial/by-id");
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "tty0", "console"})
    std::ofstream(root + "/" + name).flush();
  std::string byId = root + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0";
  fs::create_symlink("../../ttyUSB1", byId);
  std::ofstream(root + "/conf") << "# the display\r\n\r\n  port = /dev/ttyS9 \r\nport =  /dev/ttyUSB3\t\r\n#port=/x\r\n"
                                   "prot = /dev/ttyS1\n/dev/ttyS2\n =\n";
  setenv("VFDSTARTUP_CONF", (root + "/conf").c_str(), 1);
  setenv("VFDSTARTUP_DEV_ROOT", root.c_str(), 1);

  PortList list;
  ReadPortList(&list);
  EXPECT_EQ(list.configured, u"/dev/ttyUSB3");
  // Every line it does not read is a warning naming the file and the line.
  EXPECT_EQ(list.problems, std::vector<std::string>({
                               root + "/conf:6: unknown key 'prot' (only port= is read); the line is skipped",
                               root + "/conf:7: not a key = value line (only port= is read); the line is skipped",
                               root + "/conf:8: not a key = value line (only port= is read); the line is skipped"}));
  std::vector<std::u16string> listed;
  for (std::string path : {byId, root + "/ttyS2", root + "/ttyS10", root + "/ttyUSB0", root + "/ttyACM0"})
    listed.emplace_back(path.begin(), path.end());
  EXPECT_EQ(list.listed, listed);

  setenv("VFDSTARTUP_CONF", (root + "/absent").c_str(), 1);
  ReadPortList(&list);
  EXPECT_TRUE(list.configured.empty());
  EXPECT_TRUE(list.problems.empty());
  // A FIFO is never waited on: skipped, and said so.
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
  setenv("VFDSTARTUP_CONF", (root + "/fifo").c_str(), 1);
  ReadPortList(&list);
  EXPECT_TRUE(list.configured.empty());
  ASSERT_EQ(list.problems.size(), 1u);
  EXPECT_NE(list.problems[0].find("is not a regular file"), std::string::npos);
  unsetenv("VFDSTARTUP_CONF");
  unsetenv("VFDSTARTUP_DEV_ROOT");
  fs::remove_all(root);
}

// The program's own controlling terminal is never a candidate: probing it
// would send the module's commands to the user's screen.
TEST(PosixPortList, LeavesOutItsOwnTerminal) {
  std::string root = MakeTempDir();
  int own = posix_openpt(O_RDWR | O_NOCTTY), other = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(own >= 0 && other >= 0 && grantpt(own) == 0 && unlockpt(own) == 0 && grantpt(other) == 0 &&
              unlockpt(other) == 0);
  fs::create_symlink(ptsname(own), root + "/ttyS0");
  fs::create_symlink(ptsname(other), root + "/ttyS1");
  std::string terminal = ptsname(own);
  EXPECT_TRUE(InAChild([&] {
    if (!RunsOn(terminal)) return false;
    setenv("VFDSTARTUP_DEV_ROOT", root.c_str(), 1);
    setenv("VFDSTARTUP_CONF", (root + "/absent").c_str(), 1);
    PortList list;
    ReadPortList(&list);
    return list.listed == std::vector<std::u16string>{DevicePath(root + "/ttyS1")} &&
           list.leftOut == std::vector<std::u16string>{DevicePath(root + "/ttyS0")};
  })) << "ttyS0, its own terminal, was listed";
  close(own);
  close(other);
  fs::remove_all(root);
}

// The virtual consoles (tty0 to tty63: major 4, minors 0 to 63) and every
// terminal the kernel writes its console to (console/active) are somebody's
// screen: refused as in use, and left out of the port list, whatever their
// name. Nodes made here reach the same devices.
TEST(PosixPortList, LeavesOutAndRefusesTheConsoles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make device nodes";
  std::string root = MakeTempDir();
  std::vector<dev_t> consoles = {makedev(4, 0), makedev(4, 1), makedev(4, 63)};
  std::ifstream active("/sys/class/tty/console/active");
  struct stat info {};
  for (std::string name; active >> name;)
    if (stat(("/dev/" + name).c_str(), &info) == 0 && S_ISCHR(info.st_mode)) consoles.push_back(info.st_rdev);
  for (size_t i = 0; i < consoles.size(); ++i) {
    std::string node = root + "/ttyS" + std::to_string(i);
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, consoles[i]), 0) << node;
    SerialLink serial;
    bool opened = OpenPort(DevicePath(node).c_str(), &serial);
    if (opened) ClosePort(&serial);
    EXPECT_FALSE(opened) << node;
    EXPECT_EQ(PortGetLastError(), ErrorDeviceInUse) << major(consoles[i]) << ":" << minor(consoles[i]);
  }
  int other = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(other >= 0 && grantpt(other) == 0 && unlockpt(other) == 0);
  fs::create_symlink(ptsname(other), root + "/ttyUSB0");
  setenv("VFDSTARTUP_DEV_ROOT", root.c_str(), 1);
  setenv("VFDSTARTUP_CONF", (root + "/absent").c_str(), 1);
  PortList list;
  ReadPortList(&list);
  EXPECT_EQ(list.listed, std::vector<std::u16string>{DevicePath(root + "/ttyUSB0")});
  unsetenv("VFDSTARTUP_CONF");
  unsetenv("VFDSTARTUP_DEV_ROOT");
  close(other);
  fs::remove_all(root);
}

}  // namespace

// ld.so loads LD_PRELOAD only at exec, so the program runs itself once more
// with the modem-lines fixture (ASan would object to coming second).
int main(int argc, char** argv) {
  if (getenv("VFD_POSIX_TESTS_PRELOADED") == nullptr) {
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", VFD_MODEM_LINES, 1);
    setenv("VFD_POSIX_TESTS_PRELOADED", "1", 1);
    std::string lockDir = MakeTempDir();
    setenv("VFDSTARTUP_LOCK_DIR", lockDir.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("execv /proc/self/exe");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// vfdstartup-cli run from outside, as a deployment script, a service manager
// or an operator runs it, against emulated displays on pseudo-terminals: the
// bytes each display received, the record it stored, the line settings
// afterwards, the exit code, what the program printed, and what it kept.
// What a lower level proves (options, reasons, the state store, the
// decision) is proven there; here each case is the whole program.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "emulator_process.h"
#include "protocol_expected.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace text = expected::text;
using expected::Format;

const gid_t NoGroup = 65534;

struct CliRun {
  int exitCode = -1;
  int signal = 0;
  std::string out, err;
};

// How the program is started, beyond its arguments and environment.
struct Start {
  std::string program = VFD_CLI;
  std::vector<int> closed;             // descriptors it starts without
  uid_t user = 0;                      // another user than root (with the dialout group when asked)
  bool dialout = false;
  rlim_t processes = 0, files = 0;     // limits; 0: none
  int stderrTo = -1;                   // standard error on this descriptor instead (a terminal, a closed pipe)
};

struct Running {
  pid_t pid = -1;
  int out = -1, err = -1;
};

void BecomeWhatStartSays(const Start& start) {
  for (int fd : start.closed) close(fd);
  if (start.stderrTo >= 0) dup2(start.stderrTo, 2);
  if (start.files != 0) {
    rlimit files = {start.files, start.files};
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (start.user == 0) return;
  group* dialout = getgrnam("dialout");
  gid_t groups[1] = {dialout != nullptr ? dialout->gr_gid : NoGroup};
  if (setgroups(start.dialout ? 1 : 0, groups) != 0 || setgid(NoGroup) != 0) _exit(126);
  if (start.processes != 0) {
    rlimit processes = {start.processes, start.processes};
    setrlimit(RLIMIT_NPROC, &processes);
  }
  if (setuid(start.user) != 0) _exit(126);
}

Running StartCli(const std::vector<std::string>& args, const std::vector<std::string>& env, const Start& start) {
  std::vector<std::string> argStrings = {start.program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  // The machine's metrics collector never sees a test's runs.
  std::vector<std::string> envStrings = env;
  envStrings.push_back("VFDSTARTUP_METRICS_DIR=/nonexistent");
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "VFDSTARTUP_", 11) != 0) envStrings.push_back(*e);
  std::vector<char*> argv, envp;
  for (std::string& a : argStrings) argv.push_back(&a[0]);
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int out[2], err[2];
  Running running;
  if (pipe(out) != 0 || pipe(err) != 0) return running;
  running.pid = fork();
  if (running.pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    BecomeWhatStartSays(start);
    execve(start.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  running.out = out[0];
  running.err = err[0];
  return running;
}

// Both pipes are read as they fill, so a long output cannot block the child.
CliRun FinishCli(Running running) {
  CliRun run;
  pollfd fds[2] = {{running.out, POLLIN, 0}, {running.err, POLLIN, 0}};
  std::string* into[2] = {&run.out, &run.err};
  for (int open = 2; open > 0;) {
    poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) into[i]->append(buffer, static_cast<size_t>(n));
      else close(fds[i].fd), fds[i].fd = -1, --open;
    }
  }
  int status = 0;
  if (waitpid(running.pid, &status, 0) != running.pid) return run;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::string Json(const std::string& key, const std::string& value) { return "\"" + key + "\": " + value; }
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A line no profile uses, left as an earlier program would leave it.
termios SetForeignLine(const std::string& path) {
  return LineSettings(path, [](termios* line) {
    cfsetspeed(line, B9600);
    line->c_cflag |= CSTOPB;
  });
}

termios LineOf(const std::string& path) { return LineSettings(path); }

bool SameLine(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class ConsoleProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE((dir = MakeTempDir()).empty());
    lockDir = dir + "/lock";
    fs::create_directory(lockDir);
    fs::permissions(lockDir, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  void TearDown() override {
    for (EmulatorProcess& display : displays) StopEmulator(&display);
    fs::remove_all(dir);
  }
  EmulatorProcess* AddDisplay(const std::string& name, const std::string& mode = "") {
    displays.emplace_back();
    EmulatorProcess* display = &displays.back();
    EXPECT_TRUE(StartEmulator(dir, name, display));
    EXPECT_TRUE(mode.empty() || EmulatorControl(display, mode));
    return display;
  }
  // The modem-lines fixture, a lock directory of the test's own, no
  // configured port unless the test writes one, and the ports to look on.
  std::vector<std::string> Env(const std::string& ports, const std::string& fixture = VFD_MODEM_LINES) {
    std::vector<std::string> env = {"LD_PRELOAD=" + fixture, "ASAN_OPTIONS=verify_asan_link_order=0",
                                    "VFDSTARTUP_CONF=" + dir + "/conf", "VFDSTARTUP_PORTS=" + ports,
                                    "VFDSTARTUP_LOCK_DIR=" + lockDir};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
  }
  Running Begin(const std::vector<std::string>& args, const std::string& ports = "", const Start& start = Start()) {
    return StartCli(args, Env(ports, start.program == VFD_CLI ? VFD_MODEM_LINES : dir + "/bin/fixture.so"), start);
  }
  // Another user than root, whose process limit counts no other run's
  // processes, running copies of the program and the fixture that it can
  // reach wherever the checkout is.
  Start AnotherUser() {
    Start start;
    start.user = Stranger();
    start.program = dir + "/bin/vfdstartup-cli";
    fs::create_directory(dir + "/bin");
    const auto copy = fs::copy_options::overwrite_existing;
    EXPECT_TRUE(fs::copy_file(VFD_CLI, start.program, copy) && fs::copy_file(VFD_MODEM_LINES, dir + "/bin/fixture.so", copy));
    fs::permissions(dir + "/bin", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    return start;
  }
  CliRun Run(const std::vector<std::string>& args, const std::string& ports = "", const Start& start = Start()) {
    return FinishCli(Begin(args, ports, start));
  }
  std::string State() { return "--state-dir=" + dir + "/state"; }

  std::string dir, lockDir;
  std::vector<std::string> extraEnv;
  std::deque<EmulatorProcess> displays;
};

TEST_F(ConsoleProgram, WriteAndFactoryDefaultStoreTheRecordAndPutTheLineBack) {
  EmulatorProcess* display = AddDisplay("com3");
  termios before = SetForeignLine(display->link);
  expected::ByteList record = expected::Record(0x11, "Hello", "World");

  CliRun write = Run({"write", "--port", display->link, "--row0", "Hello", "--row1", "World", "--speed", "100ms",
                      "--json", State()});
  EXPECT_EQ(write.exitCode, 0) << write.err;
  for (const std::string& part :
       {Json("outcome", Quoted("stored")), Json("changed", "true"), Json("interrupted", "false"),
        Json("port", Quoted(display->link)), Json("product_type", Quoted(expected::AcceptedProductType)),
        Json("record", Quoted(HexDigitsOf(record))), Json("rows", "[\"Hello\", \"World\"]"),
        "{" + Json("caption", Quoted(text::CaptionWriteOk)) + ", " +
            Json("text", Quoted("Product type: CU20029T307A01 \\r\\nStartup Message write: (OK)     ")) + "}"}) {
    EXPECT_NE(write.out.find(part), std::string::npos) << part << "\n" << write.out;
  }
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(record));
  EXPECT_TRUE(SameLine(before, LineOf(display->link))) << "the line's settings are not back";

  // -v shows the dialog's box, on a line of its own, without trailing blanks.
  CliRun factory = Run({"factory-default", "--port=" + display->link, "-v", State()});
  EXPECT_EQ(factory.exitCode, 0) << factory.err;
  EXPECT_EQ(factory.out, "stored on " + display->link + "\n");
  EXPECT_EQ(factory.err, "message box \"Success.\": Factory default restored.\n");
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::FactoryRecord()));
  EXPECT_EQ(EmulatorCommands(*display),
            (std::vector<std::string>{"enter", "query", "write", "exit", "enter", "query", "write", "exit"}));
}

// The dialog's order: the configured port first, then the list; the first
// port with a display wins, whichever probe ends first. Two names of one
// device are one candidate, under the name that came first.
TEST_F(ConsoleProgram, FindProbesEveryDeviceOnceAndPicksTheDialogsChoice) {
  EmulatorProcess* ctsDown = AddDisplay("ctsdown", "mode cts-down");
  EmulatorProcess* silent = AddDisplay("silent", "mode silent");
  EmulatorProcess* first = AddDisplay("first");
  EmulatorProcess* second = AddDisplay("second");
  std::string plain = dir + "/plain", alias = dir + "/alias";
  std::ofstream(plain).flush();
  fs::create_symlink(fs::read_symlink(first->link), alias);
  std::string ports = plain + " " + ctsDown->link + " " + silent->link + " " + dir + "/absent " + first->link +
                      " " + alias + " " + second->link;

  CliRun find = Run({"find", "--json"}, ports);
  EXPECT_EQ(find.exitCode, 0) << find.err;
  const char* verdicts[] = {"not_serial", "cts_down", "no_answer", "no_such_port", "found", "found"};
  std::string names[] = {plain, ctsDown->link, silent->link, dir + "/absent", first->link, second->link};
  for (int i = 0; i < 6; ++i) {
    std::string entry = "{" + Json("port", Quoted(names[i])) + ", " + Json("verdict", Quoted(verdicts[i]));
    EXPECT_NE(find.out.find(entry), std::string::npos) << entry << "\n" << find.out;
  }
  EXPECT_EQ(find.out.find(Quoted(alias)), std::string::npos) << "one device probed twice";
  EXPECT_NE(find.out.find(Json("chosen", Quoted(first->link))), std::string::npos);
  EXPECT_EQ(TextOf(plain), "") << "bytes written to a file that is no serial device";
  EXPECT_EQ(EmulatorLogCount(*ctsDown, {"\"event\":\"rx\""}), 0u) << "bytes sent with CTS down";
  EXPECT_EQ(EmulatorCommands(*silent), (std::vector<std::string>{"enter", "exit"}));
  EXPECT_EQ(EmulatorCommands(*first), (std::vector<std::string>{"enter", "exit"}));

  std::ofstream(dir + "/conf") << "port=" << second->link << "\r\n";
  CliRun configured = Run({"find"}, first->link + " " + second->link);
  EXPECT_EQ(configured.exitCode, 0);
  EXPECT_EQ(configured.out, second->link + ": display found\n" + first->link + ": display found\n" +
                                "write would use " + second->link + "\n");
}

// tools/README.md: a pty has no modem lines; without the fixture the search
// cannot read CTS on an emulator that has it up.
TEST_F(ConsoleProgram, WithoutTheFixtureAnEmulatorsPtyReadsAsCtsDown) {
  EmulatorProcess* display = AddDisplay("com3");
  CliRun find = FinishCli(StartCli({"find"}, {"VFDSTARTUP_CONF=" + dir + "/conf", "VFDSTARTUP_PORTS=" + display->link,
                                              "VFDSTARTUP_LOCK_DIR=" + lockDir}, Start()));
  EXPECT_EQ(find.exitCode, 3);
  EXPECT_EQ(find.out, display->link + ": no display answered (CTS is down: no display connected, or not powered)\n");
}

// A search leaves out the consoles and its own terminal without a word,
// unless asked: -v names each and says why.
TEST_F(ConsoleProgram, FindSaysWhatItLeftOutWithVerbose) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
  fs::create_directories(dir + "/devroot");
  ASSERT_EQ(mknod((dir + "/devroot/ttyS0").c_str(), S_IFCHR | 0600, makedev(4, 1)), 0);  // tty1
  const std::vector<std::string> env = {"VFDSTARTUP_CONF=" + dir + "/conf", "VFDSTARTUP_DEV_ROOT=" + dir + "/devroot",
                                        "VFDSTARTUP_LOCK_DIR=" + lockDir};
  const std::string error = "error: no display found: no serial ports to look for the display on (1 left out; -v "
                            "says which and why)\n";
  CliRun quiet = FinishCli(StartCli({"find"}, env, Start()));
  EXPECT_EQ(quiet.exitCode, 3);
  EXPECT_EQ(quiet.err, error);
  CliRun verbose = FinishCli(StartCli({"find", "-v"}, env, Start()));
  EXPECT_EQ(verbose.err, "not searched: " + dir + "/devroot/ttyS0 is the system console or this program's own terminal, "
                         "never a display's port\n" + error);
}

// One outcome through the program: its exit code, the first line a person
// reads, and its name in the JSON result.
struct OutcomeCase {
  const char* outcome;
  std::string setup;                 // the display's mode
  std::vector<std::string> args;     // --port is added unless it is there or ports are searched
  std::string ports;                 // searched
  int exitCode;
  std::string line;                  // standard output's, or else standard error's, first line
  std::vector<std::string> commands; // what the display then received
};

class ConsoleOutcomes : public ConsoleProgram {
 protected:
  void Check(EmulatorProcess* display, const std::vector<OutcomeCase>& cases) {
    for (const OutcomeCase& c : cases) {
      SCOPED_TRACE(std::string(c.outcome) + " " + c.line);
      ASSERT_TRUE(EmulatorControl(display, "reset-log"));
      ASSERT_TRUE(EmulatorControl(display, c.setup.empty() ? "mode normal" : c.setup));
      std::vector<std::string> args = c.args;
      bool given = std::find(args.begin(), args.end(), "--port") != args.end();
      if (c.ports.empty() && !given && args[0] != "find") args.insert(args.begin() + 1, {"--port", display->link});
      bool stateGiven = std::any_of(args.begin(), args.end(), [](const std::string& a) { return a.find("--state-dir") == 0; });
      if (args[0] != "find" && !stateGiven) args.push_back(State());
      CliRun human = Run(args, c.ports);
      EXPECT_EQ(human.exitCode, c.exitCode) << human.err;
      EXPECT_EQ(FirstLine(human.out.empty() ? human.err : human.out), c.line) << human.out << human.err;
      EXPECT_EQ(EmulatorCommands(*display), c.commands);
      if (c.exitCode == 0 && args[0] != "find") continue;  // the JSON run would change what the next case finds
      args.push_back("--json");
      CliRun json = Run(args, c.ports);
      EXPECT_EQ(json.exitCode, c.exitCode);
      EXPECT_NE(json.out.find(Json("outcome", Quoted(c.outcome))), std::string::npos) << json.out;
      EXPECT_EQ(json.err, "") << "JSON asked for, yet words on standard error";
      ASSERT_TRUE(EmulatorControl(display, "product-type default"));
    }
  }
};

TEST_F(ConsoleOutcomes, EachOutcomeEndsWithItsExitCodeAndOneLine) {
  EmulatorProcess* display = AddDisplay("com3");
  std::string link = display->link, plain = dir + "/plain", absent = dir + "/absent";
  std::ofstream(plain).flush();
  // Its first 255 characters name the display's port: cut short, it would
  // reach a device it does not name.
  std::string cut = dir + "/" + std::string(255 - dir.size() - 1, 'p');
  fs::create_symlink(fs::read_symlink(link), cut);
  std::string tooLong = cut + std::string(45, 'q');
  const std::string wrongType = "CU20029T307A02 ";
  // A kept state in the way that cannot be removed (here: a directory). The
  // display's pty changes with every run; a by-id name keeps its state's name.
  fs::create_directories(dir + "/devroot/serial/by-id");
  fs::create_symlink(link, dir + "/devroot/serial/by-id/display");
  extraEnv = {"VFDSTARTUP_DEV_ROOT=" + dir + "/devroot"};
  std::string blocked = dir + "/blocked", stateFile = blocked + "/vfd-by-id%2Fdisplay.state";
  fs::create_directories(stateFile + "/x");
  Check(display, {
      {"stored", "", {"write", "--row0", "Sale"}, "", 0, "stored on " + link, {"enter", "query", "write", "exit"}},
      {"unchanged", "", {"write", "--row0", "Sale", "--if-changed"}, "", 0,
       "unchanged: the display on " + link + " holds this message already", {}},
      {"would_write", "", {"write", "--row0", "Sale!", "--if-changed", "--check"}, "", 0,
       "would write the message to " + link, {"enter", "query", "exit"}},
      {"found", "", {"find"}, link, 0, link + ": display found", {"enter", "exit"}},
      {"not_confirmed", "mode no-confirm", {"write", "--row0", "Sale"}, "", 1,
       "error: the display on " + link + " did not confirm the message; it may hold its old one",
       {"enter", "query", "write", "exit"}},
      {"incompatible", "product-type \"" + wrongType + "\"", {"factory-default"}, "", 1,
       "error: the module on " + link + " is product type \"" + wrongType + "\"; only CU20029T307A01 modules are written",
       {"enter", "query", "exit"}},
      {"not_confirmed", "mode garbage", {"write", "--row0", "Sale"}, "", 1,
       "error: the display on " + link + " did not answer set-up as a display of this kind does; nothing was "
       "written, so it holds its old message", {"enter", "exit"}},
      {"usage", "", {"write", "--speed", "250ms"}, "", 2,
       "error: unknown speed '250ms' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)", {}},
      {"refused", "", {"write", "--row0", "Caf\xC3\xA9", "--strict"}, "", 2,
       "error: row 0 would be stored as \"Cafe\", not as given; nothing was sent (--strict)", {}},
      {"no_display", "", {"write"}, plain + " " + absent, 3,
       "error: no display found: " + plain + " is not a serial device; " + absent + ": no such port", {}},
      {"open_failed", "", {"write", "--port", absent}, "", 3, "error: " + absent + ": no such port", {}},
      {"open_failed", "", {"factory-default", "--port", plain}, "", 3, "error: " + plain + " is not a serial device", {}},
      {"open_failed", "", {"write", "--port", tooLong}, "", 3,
       "error: " + tooLong + ": too long for a port name (at most 255 characters)", {}},
      // With --port the failure is said once, on standard error.
      {"open_failed", "", {"find", "--port", "/dev/console"}, "", 3,
       "error: /dev/console is the system console or this program's own terminal, never a display's port", {}},
      {"io_error", "mode hangup 1", {"write"}, "", 4,
       "error: the exchange with the display on " + link + " failed: reading from the port failed",
       {"enter", "query", "write"}},
      {"state_error", "", {"write", "--state-dir=" + blocked}, "", 5,
       "error: nothing was sent: the kept state could not be dropped (cannot remove " + stateFile +
           ": Is a directory); the user needs write access to " + blocked +
           " (the package makes it root:dialout 2775: add the user to the dialout group), or root removes the file",
       {}},
  });
}

// A display that does not answer is one outcome, whether its port was given
// or found by searching.
TEST_F(ConsoleOutcomes, ASilentDisplayIsNoAnswerGivenOrSearched) {
  EmulatorProcess* display = AddDisplay("com3");
  std::string line = "error: no display answered on " + display->link + " (waited 5 s)";
  Check(display, {
      {"no_answer", "mode silent", {"write"}, "", 3, line, {"enter", "exit"}},
      {"no_answer", "mode silent", {"write"}, display->link, 3, line, {"enter", "exit"}},
  });
}

// A port another program uses, in each of the ways Linux programs claim
// one, is busy for a write and for find (root included): nothing reaches
// the display, and the other program's line is left alone.
TEST_F(ConsoleProgram, AnotherProgramsPortIsLeftAlone) {
  EmulatorProcess* display = AddDisplay("com3");
  std::string device = fs::canonical(display->link).string();
  std::string lockName = device.substr(5);
  std::replace(lockName.begin(), lockName.end(), '/', '_');
  std::string lockFile = lockDir + "/LCK.." + lockName;
  struct Case {
    const char* what;
    std::function<pid_t()> claim;
    std::string detail;
  };
  const Case cases[] = {
      {"exclusive mode", [&] { return HoldPort(device, true); }, "is busy: held by process "},
      {"open (a point-of-sale application)", [&] { return HoldPort(device, false); }, "is busy: held by process "},
      {"lock file", [&] { pid_t pid = HoldPort("/dev/null", false);
                          std::ofstream(lockFile) << "      " << pid << "\n";
                          return pid; },
       "is busy: locked by " + lockFile},
  };
  termios before = SetForeignLine(display->link);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(EmulatorControl(display, "reset-log"));
    pid_t holder = c.claim();
    ASSERT_GT(holder, 0);
    CliRun write = Run({"write", "--port", display->link, "--json", State()});
    CliRun find = Run({"find"}, display->link);
    EndHolder(holder);
    fs::remove(lockFile);
    EXPECT_EQ(write.exitCode, 3);
    EXPECT_NE(write.out.find(Json("reason", Quoted("busy"))), std::string::npos) << write.out;
    EXPECT_NE(write.out.find(c.detail), std::string::npos) << write.out;
    EXPECT_EQ(find.exitCode, 3);
    EXPECT_NE(find.out.find(c.detail), std::string::npos) << find.out;
    EXPECT_EQ(EmulatorLogCount(*display, {"\"event\":\"rx\""}), 0u);
    EXPECT_TRUE(SameLine(before, LineOf(display->link))) << "the other program's line was changed";
  }
  // Another run of this program, in the middle of its exchange.
  ASSERT_TRUE(EmulatorControl(display, "reply-delay 1000"));
  Running first = Begin({"write", "--port", display->link, State()});
  ASSERT_TRUE(EmulatorLogHas(*display, {"\"name\":\"enter\""}));
  CliRun second = Run({"write", "--port", display->link, State()});
  EXPECT_EQ(FinishCli(first).exitCode, 0);
  EXPECT_EQ(second.exitCode, 3);
  EXPECT_EQ(FirstLine(second.err), "error: " + display->link + " is busy: another run of this program (process " +
                                       std::to_string(first.pid) + ") is using it");
}

// The bytes the display received, as its log counts them.
size_t BytesReceived(const EmulatorProcess& display) {
  std::istringstream lines(TextOf(display.log));
  size_t total = 0;
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find("\"count\":");
    if (line.find("\"event\":\"rx\"") != std::string::npos && at != std::string::npos)
      total += std::stoul(line.substr(at + 8));
  }
  return total;
}

// Started without standard error (or any of the three), the program's own
// messages (-v: the box, while the port is still open) go nowhere near the
// display: it receives the exchange and nothing else.
TEST_F(ConsoleProgram, ClosedStandardDescriptorsNeverBecomeThePort) {
  EmulatorProcess* display = AddDisplay("com3");
  const size_t exchange = 6 + 5 + 4 + 128 + 7;
  for (const std::vector<int>& closed : std::vector<std::vector<int>>{{2}, {0, 1, 2}}) {
    SCOPED_TRACE(closed.size());
    ASSERT_TRUE(EmulatorControl(display, "reset-log"));
    Start start;
    start.closed = closed;
    CliRun run = Run({"write", "--port", display->link, "--row0", "Caf\xC3\xA9 au lait", "-v", State()}, "", start);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::Record(0x13, "Cafe au lait", expected::DefaultRow1)));
    ASSERT_TRUE(EmulatorLogHas(*display, {"\"event\":\"close\""}));
    EXPECT_EQ(BytesReceived(*display), exchange);
  }
}

// A stop request (Ctrl+C, a service stop, a hang-up, a timeout's SIGTERM)
// never cuts an exchange short: it runs to its end, the display leaves
// set-up mode, the line comes back, then the program exits with 128 + the
// signal. During a search every probe ends at its next step.
TEST_F(ConsoleProgram, AStopRequestFinishesTheExchangeFirst) {
  EmulatorProcess* display = AddDisplay("com3");
  termios before = SetForeignLine(display->link);
  struct Case {
    int signal;
    const char* when;   // the display's log event the signal follows
    const char* outcome;
    int then;           // a second stop request right after; the first decides
    const char* delay;  // of each answer: the program waits for it, so the
                        // signal comes while it is still in the exchange
  };
  // The fewer answers are left to wait for after the event, the longer each
  // takes: long enough for a test process a busy machine lets wait.
  const Case cases[] = {
      {SIGINT, "\"name\":\"enter\"", "stored", 0, "reply-delay 400"},
      {SIGTERM, "\"event\":\"record\"", "stored", 0, "reply-delay 2500"},
      {SIGHUP, "\"name\":\"query\"", "stored", 0, "reply-delay 1000"},
      {SIGINT, "\"name\":\"query\"", "stored", SIGTERM, "reply-delay 1000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.when);
    ASSERT_TRUE(EmulatorControl(display, "reset-log"));
    ASSERT_TRUE(EmulatorControl(display, c.delay));
    Running running = Begin({"write", "--port", display->link, "--row0", "Spring", "--json", State()});
    ASSERT_TRUE(EmulatorLogHas(*display, {c.when}));
    kill(running.pid, c.signal);
    if (c.then != 0) kill(running.pid, c.then);
    CliRun run = FinishCli(running);
    EXPECT_EQ(run.exitCode, 128 + c.signal);
    EXPECT_NE(run.out.find(Json("outcome", Quoted(c.outcome))), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(Json("interrupted", "true")), std::string::npos);
    EXPECT_EQ(EmulatorCommands(*display), (std::vector<std::string>{"enter", "query", "write", "exit"}));
    EXPECT_TRUE(SameLine(before, LineOf(display->link)));
    EXPECT_TRUE(fs::exists(dir + "/state")) << "the state of the confirmed record was not kept";
  }
  ASSERT_TRUE(EmulatorControl(display, "reply-delay 0"));

  // A search: both silent displays are told to leave set-up mode at once.
  EmulatorProcess* silent = AddDisplay("silent", "mode silent");
  ASSERT_TRUE(EmulatorControl(display, "mode silent"));
  ASSERT_TRUE(EmulatorControl(display, "reset-log"));
  Running search = Begin({"write", "--json", State()}, display->link + " " + silent->link);
  ASSERT_TRUE(EmulatorLogHas(*display, {"\"name\":\"enter\""}) && EmulatorLogHas(*silent, {"\"name\":\"enter\""}));
  kill(search.pid, SIGTERM);
  CliRun stopped = FinishCli(search);
  EXPECT_EQ(stopped.exitCode, 143);
  EXPECT_NE(stopped.out.find(Json("outcome", Quoted("interrupted"))), std::string::npos) << stopped.out;
  EXPECT_EQ(EmulatorCommands(*display), (std::vector<std::string>{"enter", "exit"}));
  EXPECT_EQ(EmulatorCommands(*silent), (std::vector<std::string>{"enter", "exit"}));
  EXPECT_TRUE(SameLine(before, LineOf(display->link)));

  // Standard error gone (2>&1 | head -c1): no SIGPIPE, nothing cut short.
  ASSERT_TRUE(EmulatorControl(display, "mode normal"));
  ASSERT_TRUE(EmulatorControl(display, "reset-log"));
  int gone[2];
  ASSERT_EQ(pipe(gone), 0);
  close(gone[0]);
  Start start;
  start.stderrTo = gone[1];
  CliRun piped = Run({"write", "--port", display->link, "--row0", "Caf\xC3\xA9", "-v", State()}, "", start);
  close(gone[1]);
  EXPECT_EQ(piped.exitCode, 0);
  EXPECT_EQ(piped.signal, 0);
  EXPECT_EQ(EmulatorCommands(*display), (std::vector<std::string>{"enter", "query", "write", "exit"}));
}

// Killed outright after the record went out: no state says what the module
// holds, so the next --if-changed run writes.
TEST_F(ConsoleProgram, KilledAfterTheRecordLeavesNoStateBehind) {
  EmulatorProcess* display = AddDisplay("com3");
  ASSERT_EQ(Run({"write", "--port", display->link, "--row0", "Spring", State()}).exitCode, 0);
  ASSERT_TRUE(EmulatorControl(display, "reply-delay 400"));
  ASSERT_TRUE(EmulatorControl(display, "reset-log"));
  Running running = Begin({"write", "--port", display->link, "--row0", "Summer", State()});
  ASSERT_TRUE(EmulatorLogHas(*display, {"\"event\":\"record\""}));
  kill(running.pid, SIGKILL);
  EXPECT_EQ(FinishCli(running).signal, SIGKILL);
  ASSERT_TRUE(EmulatorControl(display, "reply-delay 0"));
  EXPECT_TRUE(fs::is_empty(dir + "/state"));
  CliRun again = Run({"write", "--port", display->link, "--row0", "Spring", "--if-changed", State()});
  EXPECT_EQ(FirstLine(again.out), "stored on " + display->link) << again.err;
}

// The module cannot be asked what it holds: a state counts only for the
// display it was written on. Another display behind the same by-id name and
// pty (a technician's swap), or the same one after another boot, is written
// once, and from then on the state counts again.
TEST_F(ConsoleProgram, AStateCountsOnlyForTheDisplayItWasWrittenOn) {
  std::string byId = dir + "/dev/serial/by-id/usb-Display_A1-if00-port0", boot = dir + "/boot_id";
  fs::create_directories(dir + "/dev/serial/by-id");
  std::ofstream(boot) << "0c6a1f52-7d1e-4b8a-9a55-000000000001\n";
  extraEnv = {"VFDSTARTUP_DEV_ROOT=" + dir + "/dev", "VFDSTARTUP_BOOT_ID=" + boot};
  EmulatorProcess* display = AddDisplay("first");
  fs::create_symlink(fs::canonical(display->link), byId);
  std::vector<std::string> write = {"write", "--port", byId, "--row0", "Hello", "--row1", "World", "--if-changed", State()};
  ASSERT_EQ(FirstLine(Run(write).out), "stored on " + byId);
  const std::string unchanged = "unchanged: the display on " + byId + " holds this message already";
  const struct {
    const char* what;
    std::function<void()> change;
    const std::string& first;
  } rows[] = {
      {"the same display again", [] {}, unchanged},
      {"another display on the same name",
       [&] {
         std::string pty = fs::canonical(display->link).string();
         StopEmulator(display);
         display = AddDisplay("second");
         SCOPED_TRACE("the same pty: " + std::to_string(fs::canonical(display->link).string() == pty));
         fs::remove(byId);
         fs::create_symlink(fs::canonical(display->link), byId);
       },
       "stored on " + byId},
      {"another boot", [&] { std::ofstream(boot) << "0c6a1f52-7d1e-4b8a-9a55-000000000002\n"; }, "stored on " + byId},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    row.change();
    CliRun run = Run(write);
    EXPECT_EQ(FirstLine(run.out), row.first) << run.err;
    EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::Record(0x13, "Hello", "World")));
    EXPECT_EQ(FirstLine(Run(write).out), unchanged) << "the state did not count again";
  }
}

// One state per device, whatever the name it is reached by.
TEST_F(ConsoleProgram, TwoNamesOfOneDeviceShareItsState) {
  EmulatorProcess* display = AddDisplay("com3");
  std::string device = fs::canonical(display->link).string();
  ASSERT_EQ(Run({"write", "--port", display->link, "--row0", "Spring", State()}).exitCode, 0);
  ASSERT_EQ(Run({"write", "--port", device, "--row0", "Summer", State()}).exitCode, 0);
  CliRun spring = Run({"write", "--port", display->link, "--row0", "Spring", "--if-changed", State()});
  EXPECT_EQ(FirstLine(spring.out), "stored on " + display->link) << "the state of the other name was used";
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::Record(0x13, "Spring", expected::DefaultRow1)));
}

// An ordinary user in the dialout group, on a system set up as the package
// sets it up, writes and keeps the state; a thousand candidates under a
// small process limit are probed a few at a time.
TEST_F(ConsoleProgram, AnUnprivilegedUserWritesKeepsStateAndSearchesManyPorts) {
  group* dialout = getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  EmulatorProcess* display = AddDisplay("com3");
  std::string device = fs::canonical(display->link).string();
  ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid) | chmod(device.c_str(), 0660), 0);
  std::string stateDir = dir + "/state";
  fs::create_directory(stateDir);
  ASSERT_EQ(chown(stateDir.c_str(), 0, dialout->gr_gid) | chmod(stateDir.c_str(), 02775), 0);
  Start user = AnotherUser();  // not in dialout yet
  // A device no group may open: joining its group would not help.
  ASSERT_EQ(chown(device.c_str(), 0, 0) | chmod(device.c_str(), 0600), 0);
  EXPECT_NE(Run({"write", "--port", display->link, State()}, "", user)
                .err.find("error: " + display->link + ": permission denied: it is root:root with mode 0600, which lets "
                          "no group open it: give it a group with a udev rule (GROUP=\"dialout\", MODE=\"0660\") and "
                          "add the user to that group\n"),
            std::string::npos);
  ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid) | chmod(device.c_str(), 0660), 0);
  CliRun denied = Run({"write", "--port", display->link, "--json", State()}, "", user);
  EXPECT_EQ(denied.exitCode, 3);
  EXPECT_NE(denied.out.find(Json("reason", Quoted("no_permission"))), std::string::npos) << denied.out;
  EXPECT_NE(denied.out.find("permission denied: add the user to the dialout group"), std::string::npos);
  user.dialout = true;
  CliRun write = Run({"write", "--port", display->link, "--row0", "Spring", State()}, "", user);
  EXPECT_EQ(write.exitCode, 0) << write.err;
  EXPECT_EQ(write.err, "") << "a warning: the state was not kept";
  CliRun again = Run({"write", "--port", display->link, "--row0", "Spring", "--if-changed", State()}, "", user);
  EXPECT_EQ(FirstLine(again.out), "unchanged: the display on " + display->link + " holds this message already");

  std::string ports;
  for (int i = 0; i < 1000; ++i) ports += (i == 700 ? display->link : dir + "/absent" + std::to_string(i)) + " ";
  user.processes = 4;
  user.files = 64;
  CliRun find = Run({"find", "--json"}, ports, user);
  EXPECT_EQ(find.exitCode, 0) << find.err;
  EXPECT_NE(find.out.find(Json("chosen", Quoted(display->link))), std::string::npos);
}

// On a terminal a wait shows what it waits for, against its bound; -q,
// --json and a pipe show nothing. A line printed meanwhile (-v: the box)
// takes the progress line's place, never its end.
TEST_F(ConsoleProgram, AWaitShowsOnATerminalOnly) {
  EmulatorProcess* display = AddDisplay("com3", "mode silent");
  int controller = -1, terminal = -1;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  for (const char* option : {"-v", "-q", "--json"}) {
    SCOPED_TRACE(option);
    bool shows = std::string(option) == "-v";
    Start start;
    start.stderrTo = terminal;
    std::vector<std::string> args = {"write", "--port", display->link, State(), option};
    CliRun run = Run(args, "", start);
    std::string shown;
    char buffer[4096];
    // The run is over: what it wrote is there already.
    pollfd more = {controller, POLLIN, 0};
    for (ssize_t n = 0; poll(&more, 1, 100) > 0 && (n = read(controller, buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(run.exitCode, 3);
    std::string waiting = "talking to the display on " + display->link + ": ";
    size_t at = shown.find(waiting);
    EXPECT_EQ(at != std::string::npos, shows) << shown;
    if (!shows) continue;
    std::string line = shown.substr(at, shown.find('\r', at) - at);
    EXPECT_NE(line.find(" s (at most 16 s)"), std::string::npos) << line;
    size_t box = shown.find("message box");
    ASSERT_NE(box, std::string::npos) << shown;
    EXPECT_EQ(shown.substr(box - 4, 4), "\r\x1b[K") << "the box glued to the progress line: " << shown;
  }
  close(controller);
  close(terminal);
}

TEST_F(ConsoleProgram, IfChangedSendsNothingWhenTheModuleHoldsTheRecord) {
  EmulatorProcess* display = AddDisplay("com3");
  std::ofstream(dir + "/conf") << "port=" << display->link << "\n";
  std::vector<std::string> write = {"write", "--row0", "Sale", "--if-changed", "--json", State()};
  ASSERT_EQ(Run(write).exitCode, 0);
  size_t opens = EmulatorLogCount(*display, {"\"event\":\"open\""});

  CliRun again = Run(write);
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_NE(again.out.find(Json("outcome", Quoted("unchanged"))), std::string::npos) << again.out;
  EXPECT_NE(again.out.find(Json("changed", "false")), std::string::npos);
  EXPECT_EQ(EmulatorLogCount(*display, {"\"event\":\"open\""}), opens) << "the port was opened";
}

// The help speaks of this platform's ports, configuration and state.
TEST_F(ConsoleProgram, HelpSpeaksOfLinux) {
  CliRun help = Run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* part : {"/dev/ttyS0", "/etc/vfdstartup.conf", "/var/lib/vfdstartup", "dialout", "128+N"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  for (const char* part : {"registry", "HKLM", "ProgramData", "COM3", "as the dialog tries them"})
    EXPECT_EQ(help.out.find(part), std::string::npos) << part;
}

// Neither opens a port. A row is written in what the display can show, with
// a warning; --no-transliterate keeps the dialog's cut.
TEST_F(ConsoleProgram, RecordAndPreviewShowWhatWouldBeSent) {
  CliRun record = Run({"record", "--row0", "Caf\xC3\xA9 du coin", "--row1", "", "--speed", "<10ms"});
  EXPECT_EQ(record.exitCode, 0);
  std::string hex;
  for (char c : record.out)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  EXPECT_EQ(hex, HexDigitsOf(expected::Record(0x10, "Cafe du coin", "")));
  EXPECT_EQ(record.err, "warning: row 0 is stored as \"Cafe du coin\": written in the characters the display can "
                       "show: \"\xC3\xA9\" (U+00E9) as \"e\"\n");
  CliRun cut = Run({"record", "--row0", "Caf\xC3\xA9 du coin", "--no-transliterate"});
  EXPECT_EQ(cut.out.substr(0, 8), HexDigitsOf({0x13, 'C', 'a', 'f'}));
  // A control character is named and shown, never sent to the terminal.
  CliRun escape = Run({"record", "--row0", "Sale\x1b[2J"});
  EXPECT_EQ(escape.err, "warning: row 0 is stored as \"Sale\": cut at \"\\x1B\" (U+001B), which the display cannot show\n");

  CliRun preview = Run({"preview", "--row0", "abcdefghijklmnopqrstuvwxyz", "--row1", "Hi", "--frames", "2"});
  EXPECT_EQ(preview.out,
            "+--------------------+\n|abcdefghijklmnopqrst|\n|Hi                  |\n+--------------------+\n"
            "+--------------------+\n|bcdefghijklmnopqrstu|\n|Hi                  |\n+--------------------+\n");
  // Until stopped, into a pipe: each new frame after the last, plain, never
  // a cursor code; stopped once two frames' worth is there.
  Running drawing = Begin({"preview", "--row0", "abcdefghijklmnopqrstuvwxyz", "--row1", "Hi", "--speed", "<10ms"});
  const size_t frameBytes = preview.out.size() / 2;
  std::string first(2 * frameBytes, '\0');
  for (size_t got = 0; got < first.size();) {
    ssize_t n = read(drawing.out, &first[got], first.size() - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  kill(drawing.pid, SIGINT);
  CliRun drawn = FinishCli(drawing);
  drawn.out = first + drawn.out;
  EXPECT_EQ(drawn.exitCode, 130);
  EXPECT_EQ(drawn.out.substr(0, frameBytes), preview.out.substr(0, frameBytes));
  EXPECT_EQ(drawn.out.find('\x1b'), std::string::npos) << "a cursor code into a pipe";
  EXPECT_EQ(drawn.out.size() % frameBytes, 0u);
  for (size_t at = frameBytes; at + frameBytes <= drawn.out.size(); at += frameBytes)
    EXPECT_NE(drawn.out.compare(at, frameBytes, drawn.out, at - frameBytes, frameBytes), 0) << "a frame drawn twice";
}

// apply: the message file's message, stored once and then left as it is;
// a --port (the hot-plug path's) only when the file's port names its device.
// The display and a receipt printer are plugged in on USB adapters whose
// by-id links stand in a directory of the test's own.
class ApplyProgram : public ConsoleProgram {
 protected:
  void SetUp() override {
    ConsoleProgram::SetUp();
    display = AddDisplay("display");
    printer = AddDisplay("printer");
    std::string byId = dir + "/dev/serial/by-id/";
    fs::create_directories(byId);
    displayId = byId + "usb-Shop_Display_7-if00-port0";
    fs::create_symlink(display->link, displayId);
    fs::create_symlink(printer->link, byId + "usb-Receipt_Printer-if00-port0");
    extraEnv = {"VFDSTARTUP_DEV_ROOT=" + dir + "/dev"};
  }
  CliRun Apply(std::vector<std::string> args, const std::string& ports = "") {
    args.insert(args.begin(), {"apply", "--config", dir + "/message.conf", State()});
    return Run(args, ports);
  }
  void WriteFile(const std::string& text) { std::ofstream(dir + "/message.conf") << text; }
  size_t Events(const EmulatorProcess* of, const char* event) {
    return EmulatorLogCount(*of, {"\"event\":\"" + std::string(event) + "\""});
  }

  EmulatorProcess* display = nullptr;
  EmulatorProcess* printer = nullptr;
  std::string displayId;
};

TEST_F(ApplyProgram, TheFilesMessageIsStoredOnceAndOnlyWhereTheFileSays) {
  const std::string port = "port = /dev/serial/by-id/usb-Shop_Display*\n";
  WriteFile("# shop 12\nrow0 = Hello\nrow1 = \"  World\"\nspeed = 100ms\n" + port);
  CliRun valid = Apply({"--validate"});
  EXPECT_EQ(valid.out, dir + "/message.conf is a valid message file\n");
  EXPECT_EQ(Events(display, "open"), 0u) << "--validate opened the port";
  CliRun stored = Apply({"--json"});
  EXPECT_EQ(stored.exitCode, 0) << stored.err;
  for (const std::string& part : {Json("command", Quoted("apply")), Json("outcome", Quoted("stored")),
                                  Json("changed", "true"), Json("port", Quoted(displayId))})
    EXPECT_NE(stored.out.find(part), std::string::npos) << part << "\n" << stored.out;
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::Record(0x11, "Hello", "  World")));

  size_t opens = Events(display, "open"), received = Events(display, "rx");
  CliRun same = Apply({});
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_EQ(same.out, "unchanged: the display on " + displayId + " holds this message already\n");
  CliRun plugged = Apply({"--port", display->link});  // the hot-plug path names the tty itself
  EXPECT_EQ(plugged.out, same.out) << "another name of the device is another state";
  EXPECT_EQ(Events(display, "open"), opens) << "the port was opened";
  EXPECT_EQ(Events(display, "rx"), received);

  CliRun printed = Apply({"--port", printer->link});
  EXPECT_EQ(printed.exitCode, 0) << printed.err;
  EXPECT_EQ(printed.out, "left alone: " + printer->link + " (not the port /dev/serial/by-id/usb-Shop_Display* of " +
                             dir + "/message.conf:5)\n");
  WriteFile("row0 = Winter sale\nrow1 = 20% off\nspeed = 200ms\n" + port);
  EXPECT_EQ(Apply({"--port", printer->link}).exitCode, 0);
  CliRun changed = Apply({"--port", display->link});
  EXPECT_EQ(changed.exitCode, 0) << changed.err;
  EXPECT_EQ(changed.out, "stored on " + displayId + "\n");
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::Record(0x12, "Winter sale", "20% off")));

  // Without a port line a plugged-in adapter is no display of the file's.
  WriteFile("row0 = Winter sale\nrow1 = 20% off\nspeed = 300ms\n");
  CliRun noPort = Apply({"--port", printer->link, "--json"});
  for (const std::string& part : {Json("outcome", Quoted("left_alone")), Json("changed", "false"),
                                  Json("rows", "[\"Winter sale\", \"20% off\"]")})
    EXPECT_NE(noPort.out.find(part), std::string::npos) << part << "\n" << noPort.out;
  EXPECT_EQ(Events(printer, "rx"), 0u) << "the printer received the set-up commands";
}

// Each apply is recorded as a write is (its last run, the metrics file, one
// journal entry on a socket standing in for the journal's); --validate
// looks at the file only and is not.
TEST_F(ApplyProgram, EachApplyIsRecordedAndAValidationIsNot) {
  sockaddr_un journal = {AF_UNIX, {}};
  std::snprintf(journal.sun_path, sizeof journal.sun_path, "%s/journal.socket", dir.c_str());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&journal), sizeof journal), 0);
  extraEnv.push_back(std::string("VFDSTARTUP_JOURNAL_SOCKET=") + journal.sun_path);
  auto entries = [fd] {
    int n = 0;
    for (char buffer[4096]; recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0;) ++n;
    return n;
  };
  std::string metrics = dir + "/vfdstartup.prom", port = "port = /dev/serial/by-id/usb-Shop_Display*\n";
  WriteFile("row0 = Hello\nrow1 = World\nspeed = 100ms\n" + port);
  EXPECT_EQ(Apply({"--validate", "--metrics-file", metrics}).exitCode, 0);
  EXPECT_FALSE(fs::exists(metrics) || fs::exists(dir + "/state/vfd-.last")) << "--validate was recorded";
  EXPECT_EQ(entries(), 0);
  EXPECT_EQ(Apply({"--metrics-file", metrics}).exitCode, 0);
  EXPECT_NE(TextOf(metrics).find("outcome=\"stored\"} 1"), std::string::npos) << TextOf(metrics);
  ASSERT_TRUE(EmulatorControl(display, "mode silent"));
  WriteFile("row0 = Goodbye\nrow1 = World\nspeed = 100ms\n" + port);
  EXPECT_EQ(Apply({"--metrics-file", metrics}).exitCode, 3);
  EXPECT_NE(TextOf(metrics).find("outcome=\"no_answer\"} 1"), std::string::npos) << TextOf(metrics);
  EXPECT_EQ(Run({"status", State()}).exitCode, 1);
  EXPECT_EQ(entries(), 2) << "not one journal entry a run";
  close(fd);
}

// A pattern that matches nothing (the display unplugged) is a sound file,
// and a run that finds no display: never a search of every port.
TEST_F(ApplyProgram, APatternMatchingNothingIsValidAndReachesNoPort) {
  WriteFile("row0 = Hello\nrow1 = World\nspeed = 100ms\nport = /dev/serial/by-id/usb-Nothing*\n");
  CliRun valid = Apply({"--validate"});
  EXPECT_EQ(valid.exitCode, 0);
  EXPECT_EQ(valid.out, dir + "/message.conf is a valid message file\n");
  CliRun both = Apply({"--validate", "--port", printer->link});
  EXPECT_EQ(both.exitCode, 2);
  EXPECT_EQ(FirstLine(both.err), "error: --validate looks at the file only: it takes neither --port nor --check");
  CliRun none = Apply({}, printer->link + " " + display->link);
  EXPECT_EQ(none.exitCode, 3) << none.out;
  EXPECT_EQ(Events(printer, "rx") + Events(display, "rx"), 0u) << "a port outside the pattern received commands";
}

// Every kind of mistake is refused before any port is opened, with the line.
TEST_F(ApplyProgram, ABadMessageFileExitsTwoNamingItsLineAndSendsNothing) {
  const std::string rows = "row0 = Hello\nrow1 = World\n", port = "port = " + display->link + "\n";
  const std::string file = dir + "/message.conf";
  const struct {
    std::string text;
    std::string firstLine;
  } cases[] = {
      {rows + "speed = 100ms\n" + port + "colour = blue\n",
       file + ":5: unknown key 'colour' (row0, row1, speed, port, strict)"},
      {port + "strict = true\nrow0 = Hello\nrow1 = " + std::string(32, 'x') + "\xC3\x9F" + "\nspeed = 100ms\n",
       file + ":4: row 1 would be stored as \"" + std::string(32, 'x') + "ss\", not as given; nothing was sent (--strict)"},
      {port + "strict = true\nrow0 = " + std::string(62, 'x') + "\xC3\x9F" + "\nrow1 = World\nspeed = 100ms\n",
       file + ":3: row 0 would be stored as \"" + std::string(62, 'x') + "s\", not as given; nothing was sent (--strict)"},
      {rows + "speed = fast\n" + port, file + ":3: unknown speed 'fast' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)"},
      {port + "row0 = Caf\xE9\n", file + ":2: not valid UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteFile(c.text);
    CliRun bad = Apply({});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(FirstLine(bad.err), "error: " + c.firstLine);
    EXPECT_EQ(bad.out, "");
  }
  fs::remove(file);
  CliRun missing = Apply({"--json"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.out.find(Json("outcome", Quoted("bad_config"))), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find(Quoted("cannot read " + file + ": No such file or directory")), std::string::npos);
  EXPECT_EQ(Events(display, "rx"), 0u) << "bytes sent for a bad file";
}

}  // namespace

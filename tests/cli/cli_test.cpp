// vfdstartup-cli run from outside, as a deployment script runs it, against
// emulated displays on pseudo-terminals: the bytes each display received, the
// record it stored, the line settings afterwards, the exit code and what the
// program printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>

#include "emulator_process.h"
#include "protocol_expected.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace text = expected::text;
using expected::Format;

struct CliRun {
  int exitCode = -1;
  std::string out, err;
};

// Both pipes are read as they fill, so a long output cannot block the child.
void ReadBoth(int outFd, int errFd, CliRun* run) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* into[2] = {&run->out, &run->err};
  for (int open = 2; open > 0;) {
    poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) into[i]->append(buffer, static_cast<size_t>(n));
      else fds[i].fd = -1, --open;
    }
  }
}

CliRun RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argStrings = {VFD_CLI};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argStrings) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "VFDSTARTUP_", 11) != 0) envStrings.push_back(*e);
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  int out[2], err[2];
  CliRun run;
  if (pipe(out) != 0 || pipe(err) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, VFD_CLI, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned == 0) ReadBoth(out[0], err[0], &run);
  close(out[0]);
  close(err[0]);
  int status = 0;
  if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

std::string Json(const std::string& key, const std::string& value) { return "\"" + key + "\": " + value; }
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The record as --json shows it: 256 upper-case digits.
std::string RecordJson(const expected::ByteList& record) { return Json("record", Quoted(HexDigitsOf(record))); }

std::string BoxJson(const std::string& caption, const std::string& boxText) {
  std::string escaped;
  for (char c : boxText) escaped += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
  return "{" + Json("caption", Quoted(caption)) + ", " + Json("text", Quoted(escaped)) + "}";
}

termios LineOf(const std::string& path) {
  termios line{};
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  tcgetattr(fd, &line);
  close(fd);
  return line;
}

// A line no profile uses, left as an earlier program would leave it.
termios SetForeignLine(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios line{};
  tcgetattr(fd, &line);
  cfsetspeed(&line, B9600);
  line.c_cflag |= CSTOPB;
  tcsetattr(fd, TCSANOW, &line);
  close(fd);
  return LineOf(path);
}

class ConsoleProgram : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE((dir = MakeTempDir()).empty()); }
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
  // The program with the modem-lines fixture, no configured port unless the
  // test writes one, and the ports to look on.
  CliRun Run(const std::vector<std::string>& args, const std::string& ports = "") {
    return RunCli(args, {"LD_PRELOAD=" VFD_MODEM_LINES, "ASAN_OPTIONS=verify_asan_link_order=0",
                         "VFDSTARTUP_CONF=" + dir + "/conf", "VFDSTARTUP_PORTS=" + ports});
  }
  std::string State() { return "--state-dir=" + dir + "/state"; }

  std::string dir;
  std::deque<EmulatorProcess> displays;
};

TEST_F(ConsoleProgram, WriteAndFactoryDefaultStoreTheRecordAndPutTheLineBack) {
  EmulatorProcess* display = AddDisplay("com3");
  termios before = SetForeignLine(display->link);
  expected::ByteList record = expected::Record(0x11, "Hello", "World");

  CliRun write = Run({"write", "--port", display->link, "--row0", "Hello", "--row1", "World",
                      "--speed", "100ms", "--json", State()});
  EXPECT_EQ(write.exitCode, 0) << write.err;
  for (const std::string& part :
       {Json("outcome", Quoted("stored")), Json("changed", "true"), Json("port", Quoted(display->link)),
        Json("product_type", Quoted(expected::AcceptedProductType)), RecordJson(record),
        Json("rows", "[\"Hello\", \"World\"]"),
        BoxJson(text::CaptionWriteOk, Format(text::WriteOk, expected::AcceptedProductType))}) {
    EXPECT_NE(write.out.find(part), std::string::npos) << part << "\n" << write.out;
  }
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(record));
  termios after = LineOf(display->link);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the line's settings are not back";

  CliRun factory = Run({"factory-default", "--port=" + display->link, State()});
  EXPECT_EQ(factory.exitCode, 0) << factory.err;
  EXPECT_EQ(factory.out, "stored on " + display->link + "\n");
  EXPECT_EQ(factory.err, std::string(text::CaptionFactoryRestored) + ": " + text::FactoryRestored + "\n");
  EXPECT_EQ(EmulatorRecordHex(*display), HexOf(expected::FactoryRecord()));
  EXPECT_EQ(EmulatorCommands(*display),
            (std::vector<std::string>{"enter", "query", "write", "exit", "enter", "query", "write", "exit"}));
}

// The dialog's order: the configured port first, then the list; the first
// port with a display wins, whichever probe ends first.
TEST_F(ConsoleProgram, FindProbesEveryCandidateAndPicksTheDialogsChoice) {
  EmulatorProcess* ctsDown = AddDisplay("ctsdown", "mode cts-down");
  EmulatorProcess* silent = AddDisplay("silent", "mode silent");
  EmulatorProcess* first = AddDisplay("first");
  EmulatorProcess* second = AddDisplay("second");
  std::string plain = dir + "/plain";
  std::ofstream(plain).flush();
  std::string ports = plain + " " + ctsDown->link + " " + silent->link + " " + dir + "/absent " +
                      first->link + " " + second->link;

  CliRun find = Run({"find", "--json"}, ports);
  EXPECT_EQ(find.exitCode, 0) << find.err;
  const char* verdicts[] = {"not_serial", "cts_down", "no_answer", "cannot_open", "found", "found"};
  std::string names[] = {plain, ctsDown->link, silent->link, dir + "/absent", first->link, second->link};
  std::string candidates;
  for (int i = 0; i < 6; ++i)
    candidates += std::string(i ? ", " : "") + "{" + Json("port", Quoted(names[i])) + ", " +
                  Json("verdict", Quoted(verdicts[i])) + "}";
  EXPECT_NE(find.out.find(Json("candidates", "[" + candidates + "]")), std::string::npos) << find.out;
  EXPECT_NE(find.out.find(Json("chosen", Quoted(first->link))), std::string::npos);
  EXPECT_EQ(TextOf(plain), "") << "bytes written to a file that is no serial device";
  EXPECT_EQ(EmulatorLogCount(*ctsDown, {"\"event\":\"rx\""}), 0u) << "bytes sent with CTS down";
  EXPECT_EQ(EmulatorCommands(*silent), (std::vector<std::string>{"enter", "exit"}));

  std::ofstream(dir + "/conf") << "port=" << second->link << "\n";
  CliRun configured = Run({"find"}, first->link + " " + second->link);
  EXPECT_EQ(configured.exitCode, 0);
  EXPECT_EQ(configured.out, second->link + ": display found\n" + first->link + ": display found\n" +
                                "write would use " + second->link + "\n");

  fs::remove(dir + "/conf");
  CliRun none = Run({"find"}, ctsDown->link);
  EXPECT_EQ(none.exitCode, 3);
}

// tools/README.md: a pty has no modem lines; without the fixture the search
// cannot read CTS on an emulator that has it up.
TEST_F(ConsoleProgram, WithoutTheFixtureAnEmulatorsPtyReadsAsCtsDown) {
  EmulatorProcess* display = AddDisplay("com3");
  CliRun find = RunCli({"find"}, {"VFDSTARTUP_CONF=" + dir + "/conf", "VFDSTARTUP_PORTS=" + display->link});
  EXPECT_EQ(find.exitCode, 3);
  EXPECT_EQ(find.out, display->link + ": CTS down\n");
}

TEST_F(ConsoleProgram, FailuresEndWithTheirExitCodeAndMessage) {
  EmulatorProcess* display = AddDisplay("com3");
  std::string plain = dir + "/plain";
  std::ofstream(plain).flush();
  const std::string wrongType = "CU20029T307A02 ";
  struct Case {
    const char* what;
    std::string setup;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> inOutput;
    std::vector<std::string> commands;  // what the display then received
  };
  const Case cases[] = {
      {"another product type", "product-type \"" + wrongType + "\"", {"write", "--row1", "na\xC3\xAFve", "--json"}, 1,
       {Json("outcome", Quoted("incompatible")), Json("product_type", Quoted(wrongType)),
        "row 1 cut at a character the display cannot show; kept: \\\"na\\\"",
        BoxJson(text::CaptionIncompatible, Format(text::Incompatible, wrongType)),
        BoxJson(text::CaptionWriteFailed, Format(text::WriteFailed, wrongType))},
       {"enter", "query", "exit"}},
      {"silent module", "mode silent", {"write"}, 1,
       {std::string(text::CaptionWriteFailed) + ": Product type:  Startup Message write: (failed) \n"},
       {"enter", "exit"}},
      {"not a terminal", "", {"write", "--port", plain}, 3, {"is not a serial device", text::GetStateFailed}, {}},
      {"no such port", "", {"factory-default", "--port", dir + "/absent"}, 3,
       {std::string(text::CaptionOpenFailed) + " " + dir + "/absent", "there is no port"}, {}},
      {"unknown speed", "", {"write", "--speed", "250ms", "--json"}, 2, {Json("outcome", Quoted("usage"))}, {}},
      {"unknown option", "", {"find", "--row0", "x"}, 2, {"takes no option --row0"}, {}},
      {"value missing", "", {"write", "--row1"}, 2, {"--row1 needs a value"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(EmulatorControl(display, "reset-log"));
    ASSERT_TRUE(EmulatorControl(display, c.setup.empty() ? "mode normal" : c.setup));
    std::vector<std::string> args = c.args;
    if (args[0] != "find" && std::find(args.begin(), args.end(), "--port") == args.end())
      args.insert(args.begin() + 1, {"--port", display->link});
    args.push_back(State());
    CliRun run = Run(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    for (const std::string& part : c.inOutput) {
      EXPECT_NE((run.out + run.err).find(part), std::string::npos) << part << "\n" << run.out << run.err;
    }
    EXPECT_EQ(EmulatorCommands(*display), c.commands);
    EXPECT_EQ(EmulatorLogCount(*display, {"\"event\":\"record\""}), 0u);
    ASSERT_TRUE(EmulatorControl(display, "product-type default"));
  }
  EXPECT_EQ(TextOf(plain), "");
}

// Two runs on one display never interleave: the second finds the port held.
TEST_F(ConsoleProgram, PortHeldByAnotherRunIsBusy) {
  EmulatorProcess* display = AddDisplay("com3");
  ASSERT_TRUE(EmulatorControl(display, "reset-log"));
  int held = open(display->link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  CliRun run = Run({"write", "--port", display->link, "--json", State()});
  close(held);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.out.find(Json("outcome", Quoted("open_failed"))), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("is busy"), std::string::npos) << run.out;
  EXPECT_EQ(EmulatorLogCount(*display, {"\"event\":\"rx\""}), 0u);
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
  CliRun check = Run({"write", "--row0", "Sale!", "--check", "--json", State()});
  EXPECT_NE(check.out.find(Json("outcome", Quoted("would_write"))), std::string::npos) << check.out;
  EXPECT_EQ(EmulatorLogCount(*display, {"\"event\":\"open\""}), opens) << "the port was opened";

  // A damaged state is no state: the write goes ahead, with a warning.
  for (const fs::directory_entry& entry : fs::directory_iterator(dir + "/state"))
    std::ofstream(entry.path()) << "record=12";
  CliRun damaged = Run(write);
  EXPECT_NE(damaged.out.find(Json("outcome", Quoted("stored"))), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.out.find("writing anyway"), std::string::npos);
}

// Neither opens a port; a row is cut where the dialog cuts it, with its box.
TEST_F(ConsoleProgram, RecordAndPreviewShowWhatWouldBeSent) {
  CliRun record = Run({"record", "--row0", "Caf\xC3\xA9 du coin", "--row1", "", "--speed", "<10ms"});
  EXPECT_EQ(record.exitCode, 0);
  std::string hex;
  for (char c : record.out)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  EXPECT_EQ(hex, HexDigitsOf(expected::Record(0x10, "Caf", "")));
  EXPECT_EQ(record.err, std::string(text::CaptionRow0Cut) + ": Row 0 truncated to:            Caf \n");

  CliRun preview = Run({"preview", "--row0", "abcdefghijklmnopqrstuvwxyz", "--row1", "Hi", "--frames", "2"});
  EXPECT_EQ(preview.out,
            "+--------------------+\n|abcdefghijklmnopqrst|\n|Hi                  |\n+--------------------+\n"
            "+--------------------+\n|bcdefghijklmnopqrstu|\n|Hi                  |\n+--------------------+\n");
}

}  // namespace

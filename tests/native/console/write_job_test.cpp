// The console's jobs over the simulated port and registry: the decision a
// real run and --check make alike, the kept state around the exchange, the
// search's own receive buffers, its pool and its early choice, and a stop
// request during a search.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cli/console_frontend.h"
#include "frontend/frontend_ops.h"
#include "job/display_job.h"
#include "job/message_rows.h"
#include "job/state_store.h"
#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_port.h"
#include "sim_registry.h"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> StopNow(false);
bool IsStopNow() { return StopNow; }

// An account nobody else uses, so that its process limit counts this test alone.
const uid_t Stranger = 61234;

// Waits for the event up to a bound that only a failing run reaches.
bool WaitUntil(const std::function<bool()>& event) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!event()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Probes on the ports after the display are held in their reply wait until
// the display's record is stored: a write that waited for them would never
// come.
std::atomic<bool> RecordStored(false);
std::atomic<int> HeldUntilTheBound(0);
std::mutex LaterProbeLock;
std::set<std::thread::id> LaterProbeThreads;

bool HoldLaterProbesUntilTheRecord() {
  {
    std::lock_guard<std::mutex> hold(LaterProbeLock);
    if (LaterProbeThreads.count(std::this_thread::get_id()) == 0 || HeldUntilTheBound > 0) return false;
  }
  if (!WaitUntil([] { return RecordStored.load(); })) ++HeldUntilTheBound;
  return false;
}

bool IsTheDialogsProbe(const std::vector<std::string>& commands) {
  return commands.empty() || commands == std::vector<std::string>{"enter", "exit"};
}

class ConsoleJob : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    SimResetRegistry();
    unsetenv("VFDSTARTUP_PORTS");
    SimRegKey* list = SimAddRegKey(expected::PortListKey);
    for (const char* name : {"COM3", "COM4", "COM5"}) SimAddRegString(list, name, name);
    for (const char* name : {"COM3", "COM4", "COM5"}) SimAddPort(name);
    char name[] = "/tmp/vfd-job-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    stateDir = name;
    StopNow = false;
    RecordStored = false;
    HeldUntilTheBound = 0;
    LaterProbeThreads.clear();
  }
  void TearDown() override { fs::remove_all(stateDir); }
  SimModule* Display(const char* port) { return SimAttachModule(SimFindPort(port)); }
  WriteJobRequest Request(const std::string& row0, const char* port = "COM3") {
    std::u16string rows[2] = {expected::Wide(row0), u"Open 8-22"};
    MessageRows prepared = PrepareMessageRows(rows, ROWS_TRANSLITERATE);
    WriteJobRequest request = {};
    request.action = WRITE_ACTION_WRITE;
    for (int row = 0; row < 2; ++row) request.fields[row] = prepared.fields[row];
    request.speedPosition = 3;
    request.record = RecordForRows(prepared, 3, false);
    request.port = expected::Wide(port);
    request.stateDir = stateDir;
    request.hooks.stopRequested = IsStopNow;
    return request;
  }
  JobReport Run(const WriteJobRequest& request) {
    ResetConsoleFrontEnd(&frontEnd);
    JobReport report;
    RunWriteJob(request, &frontEnd, &report);
    return report;
  }
  std::string Port(const JobReport& report) { return std::string(report.port.name.begin(), report.port.name.end()); }

  std::string stateDir;
  FrontEnd frontEnd;
};

TEST_F(ConsoleJob, TheKeptStateDecidesOnlyWithIfChangedAndOnEveryByte) {
  SimModule* display = Display("COM3");
  WriteJobRequest request = Request("Sale");
  EXPECT_EQ(Run(request).outcome, OUTCOME_STORED);
  EXPECT_EQ(Run(request).outcome, OUTCOME_STORED) << "without --if-changed every run writes";
  EXPECT_EQ(display->recordsStored, 2);
  EXPECT_EQ(SimStoredRecord(display), expected::Record(0x13, "Sale", "Open 8-22"));

  request.ifChanged = true;
  int opens = SimCountEvents("open");
  JobReport unchanged = Run(request);
  EXPECT_EQ(unchanged.outcome, OUTCOME_UNCHANGED);
  EXPECT_FALSE(unchanged.changed);
  EXPECT_EQ(SimCountEvents("open"), opens) << "the port was opened";

  request.check = true;
  EXPECT_EQ(Run(request).outcome, OUTCOME_UNCHANGED);
  WriteJobRequest last = request;
  last.record.bytes[127] = 0x21;  // differs in its very last byte
  JobReport check = Run(last);
  EXPECT_EQ(check.outcome, OUTCOME_WOULD_WRITE);
  EXPECT_TRUE(check.changed) << "--check says changed where a real run would";
  EXPECT_EQ(display->recordsStored, 2) << "--check sent a record";
  last.check = false;
  last.fields[1] = u"Open 8-22";  // the fields make the same rows; the record is the one compared
  EXPECT_EQ(Run(last).outcome, OUTCOME_STORED);
  EXPECT_EQ(display->recordsStored, 3);
}

// The port found by searching is the one compared, by a real run and by
// --check alike; --check probes (enter, exit) and sends no record.
TEST_F(ConsoleJob, ASearchedPortIsDecidedLikeAGivenOne) {
  SimModule* display = Display("COM4");
  WriteJobRequest request = Request("Sale", "");
  request.ifChanged = true;
  JobReport first = Run(request);
  EXPECT_EQ(first.outcome, OUTCOME_STORED);
  EXPECT_EQ(Port(first), "COM4");
  size_t commands = display->commands.size();

  JobReport again = Run(request);
  EXPECT_EQ(again.outcome, OUTCOME_UNCHANGED);
  EXPECT_EQ(Port(again), "COM4");
  WriteJobRequest other = Request("Sale!", "");
  other.ifChanged = other.check = true;
  JobReport check = Run(other);
  EXPECT_EQ(check.outcome, OUTCOME_WOULD_WRITE);
  EXPECT_EQ(Port(check), "COM4");
  EXPECT_EQ(std::vector<std::string>(display->commands.begin() + commands, display->commands.end()),
            (std::vector<std::string>{"enter", "exit", "enter", "exit"}));
}

// From the moment the record may reach the module until it confirms it, no
// state names any record.
TEST_F(ConsoleJob, NoStateNamesARecordTheModuleMayNotHold) {
  SimModule* display = Display("COM3");
  ASSERT_EQ(Run(Request("Sale")).outcome, OUTCOME_STORED);
  std::string state = stateDir + "/" + StateFileName("COM3");
  ASSERT_TRUE(fs::exists(state));
  SimPort* port = SimFindPort("COM3");
  bool stateAtRecord = true;
  SimResponder module = port->responder;
  port->responder = [&](SimPort* p, const Bytes& written) {
    if (written.size() == expected::RowSize) stateAtRecord = fs::exists(state);
    module(p, written);
  };
  SimControl(display, "mode no-confirm");
  EXPECT_EQ(Run(Request("Winter")).outcome, OUTCOME_NOT_CONFIRMED);
  EXPECT_FALSE(stateAtRecord) << "the old state was still there when the record went out";
  EXPECT_FALSE(fs::exists(state)) << "a state after an unconfirmed write";
}

TEST_F(ConsoleJob, OutcomesAndWarningsOfTheExchange) {
  SimModule* display = Display("COM3");
  SimControl(display, "mode silent");
  JobReport silent = Run(Request("Sale"));
  EXPECT_EQ(silent.outcome, OUTCOME_NO_ANSWER) << "as when a search finds the display silent";
  EXPECT_EQ(silent.text, "no display answered on COM3 (waited 5 s)");

  SimControl(display, "mode normal");
  WriteJobRequest nowhere = Request("Sale");
  std::ofstream(stateDir + "/file").flush();
  nowhere.stateDir = stateDir + "/file/state";
  JobReport unkept = Run(nowhere);
  EXPECT_EQ(unkept.outcome, OUTCOME_STORED);
  ASSERT_FALSE(unkept.warnings.empty());
  EXPECT_EQ(unkept.warnings.back().compare(0, 16, "state not kept: "), 0) << unkept.warnings.back();

  std::ofstream(stateDir + "/" + StateFileName("COM3")) << "record=12\n";
  WriteJobRequest damaged = Request("Sale");
  damaged.ifChanged = true;
  JobReport written = Run(damaged);
  EXPECT_EQ(written.outcome, OUTCOME_STORED) << "a damaged state counted as holding the record";
  EXPECT_NE(written.warnings.front().find("writing anyway"), std::string::npos);

  // Ports used without a lock file are said once, however many were opened.
  PortOpenDetail unlocked = {};
  snprintf(unlocked.lockProblem, sizeof unlocked.lockProblem, "no lock directory");
  SimSetOpenDetail(unlocked);
  JobReport searched = Run(Request("Sale", ""));
  EXPECT_EQ(std::count_if(searched.warnings.begin(), searched.warnings.end(),
                          [](const std::string& w) { return w.find("(no lock directory)") != std::string::npos; }),
            1);
}

TEST_F(ConsoleJob, EveryProbeAndExchangeHasItsOwnReceiveBuffer) {
  for (const char* name : {"COM3", "COM4", "COM5"}) Display(name);
  ASSERT_EQ(Run(Request("Sale", "")).outcome, OUTCOME_STORED);
  std::map<std::string, std::set<const BYTE*>> buffers;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "read") buffers[e.port].insert(e.buffer);
  std::set<const BYTE*> all;
  size_t used = 0;
  for (const auto& port : buffers) {
    all.insert(port.second.begin(), port.second.end());
    used += port.second.size();
  }
  EXPECT_EQ(all.count(ReceiveBuffer), 0u) << "the process-wide buffer was used";
  // The probes after the chosen display may be ended before their first read.
  EXPECT_LE(buffers["\\\\.\\COM4"].size(), 1u);
  EXPECT_LE(buffers["\\\\.\\COM5"].size(), 1u);
  EXPECT_EQ(buffers["\\\\.\\COM3"].size(), 2u) << "COM3's probe and its exchange";
  EXPECT_EQ(all.size(), used) << "two probes shared a buffer";
}

// A stop request ends each probe at its next step, also a probe waiting for
// its answer; a port that was asked to enter set-up mode is told to leave it,
// and every port is put back. Whichever probes had begun, nothing else is sent.
TEST_F(ConsoleJob, AStopDuringTheSearchEndsEveryProbeAndSendsNothing) {
  SimModule* silent = Display("COM3");
  SimControl(silent, "mode silent");
  SimModule* display = Display("COM4");
  SimModule* later = Display("COM5");
  SimControl(later, "mode silent");
  SimPort* port = SimFindPort("COM3");
  SimResponder module = port->responder;
  port->responder = [&](SimPort* p, const Bytes& written) {
    StopNow = true;  // the stop comes while COM3's probe waits for an answer
    module(p, written);
  };
  JobReport report = Run(Request("Sale", ""));
  EXPECT_EQ(report.outcome, OUTCOME_INTERRUPTED);
  EXPECT_EQ(silent->commands, (std::vector<std::string>{"enter", "exit"}));
  EXPECT_EQ(SimCountEvents("read", "\\\\.\\COM3"), 1) << "the probe waited on for its answer";
  EXPECT_TRUE(IsTheDialogsProbe(display->commands));
  EXPECT_TRUE(IsTheDialogsProbe(later->commands));
  for (const char* name : {"COM3", "COM4", "COM5"}) EXPECT_FALSE(SimFindPort(name)->open) << name;
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// The dialog's choice is the first port that answers once every port before
// it is done: the record goes out while the probes after it still wait, and
// those end at their next step, each put back and closed.
TEST_F(ConsoleJob, AWriteDoesNotWaitForTheProbesAfterTheDisplay) {
  SimModule* display = Display("COM3");
  SimResponder module = SimFindPort("COM3")->responder;
  SimFindPort("COM3")->responder = [&](SimPort* p, const Bytes& written) {
    module(p, written);
    if (display->recordsStored > 0) RecordStored = true;
  };
  std::vector<SimModule*> later;
  for (const char* name : {"COM4", "COM5"}) {
    later.push_back(Display(name));
    SimControl(later.back(), "mode silent");
    SimResponder silent = SimFindPort(name)->responder;
    SimFindPort(name)->responder = [silent](SimPort* p, const Bytes& written) {
      std::lock_guard<std::mutex> hold(LaterProbeLock);
      LaterProbeThreads.insert(std::this_thread::get_id());
      silent(p, written);
    };
  }
  WriteJobRequest request = Request("Sale", "");
  request.hooks.stopRequested = HoldLaterProbesUntilTheRecord;
  JobReport report = Run(request);
  EXPECT_EQ(report.outcome, OUTCOME_STORED);
  EXPECT_EQ(HeldUntilTheBound, 0) << "the write waited for the probes after the display";
  ASSERT_EQ(report.candidates.size(), 3u);
  for (size_t i = 0; i < later.size(); ++i) {
    EXPECT_EQ(report.candidates[i + 1].verdict, PROBE_STOPPED);
    EXPECT_TRUE(IsTheDialogsProbe(later[i]->commands));
  }
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// At most 32 probes at once, each into a receive buffer of its own: a port
// that floods every read among forty candidates overruns nothing.
TEST_F(ConsoleJob, ThirtyTwoProbesAtOnceEachWithItsOwnBuffer) {
  std::vector<PortIdentity> ports;
  for (int i = 0; i < 40; ++i) {
    std::string name = "P" + std::to_string(i);
    SimAddPort(name);
    ports.push_back(IdentifyPort(expected::Wide(name)));
  }
  SimFindPort("P0")->reader = [](SimPort*, DWORD size, Bytes* delivered) {
    delivered->assign(size, 0x55);
    return true;
  };
  PortSearch search;
  StartSearch(ports, nullptr, ProbesAtOnce, &search);
  EXPECT_EQ(search.workers.size(), 32u);
  FinishSearch(&search);
  EXPECT_EQ(CandidatesDone(&search), 40u);
  EXPECT_EQ(search.candidates[0].verdict, PROBE_WRONG_ANSWER);
  EXPECT_EQ(search.candidates[39].verdict, PROBE_NO_ANSWER);
  PortSearch one;
  StartSearch({ports[1]}, nullptr, ProbesAtOnce, &one);
  EXPECT_EQ(one.workers.size(), 1u);
  FinishSearch(&one);
}

// With no thread to be had (the account's process limit reached), the search
// still ends with the dialog's choice: the caller probes alone.
TEST_F(ConsoleJob, ASearchWithoutThreadsStillEnds) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another account";
  Display("COM4");
  pid_t child = fork();
  if (child == 0) {
    rlimit one = {1, 1};
    if (setrlimit(RLIMIT_NPROC, &one) != 0 || setgid(Stranger) != 0 || setuid(Stranger) != 0) _exit(2);
    JobReport report;
    RunFindJob(u"", JobHooks{}, &report);
    _exit(report.outcome == OUTCOME_FOUND && Port(report) == "COM4" ? 0 : 1);
  }
  int status = -1;
  bool ended = WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
  if (!ended) kill(child, SIGKILL), waitpid(child, &status, 0);
  EXPECT_TRUE(ended) << "the search never ended";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "not the dialog's choice";
}

// Two names of one device are one candidate under a name it can be opened
// by, even when a name too long for a port came first.
TEST_F(ConsoleJob, ADeviceKeepsANameItCanBeOpenedBy) {
  std::string alias = stateDir + "/the-display-of-the-terminal";
  fs::create_symlink("/dev/null", alias);
  setenv("VFDSTARTUP_PORTS", (alias + " /dev/null").c_str(), 1);
  std::vector<PortIdentity> ports = CandidatePorts(PortList{});
  unsetenv("VFDSTARTUP_PORTS");
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].name, u"/dev/null");
}

TEST(ConsoleFrontEnd, ARowFieldGivesAtMostItsSixtyThreeCharacters) {
  FrontEnd frontEnd;
  ResetConsoleFrontEnd(&frontEnd);
  frontEnd.rowText[0] = std::u16string(70, u'x');
  std::unique_ptr<Utf16Unit[]> field(new Utf16Unit[expected::RowTextMax + 1]);  // exactly the field
  FrontEndGetRowText(&frontEnd, 0, field.get());
  EXPECT_EQ(std::u16string(field.get()), std::u16string(63, u'x'));
}

}  // namespace

// The console's jobs over the simulated port and registry: the decision a
// real run and --check make alike, the kept state around the exchange, the
// search's own receive buffers, its pool and its early choice, and a stop
// request during a search.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "cli/console_frontend.h"
#include "frontend/frontend_ops.h"
#include "job/display_job.h"
#include "job_request.h"
#include "job/job_report.h"
#include "job/message_rows.h"
#include "records/state_store.h"
#include "process_posix.h"
#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_port.h"
#include "sim_registry.h"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> StopNow(false);
bool IsStopNow() { return StopNow; }

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

// then runs once the module on the port has taken each write.
void AfterEachWrite(const char* name, const std::function<void(const Bytes&)>& then) {
  SimPort* port = SimFindPort(name);
  SimResponder module = port->responder;
  port->responder = [module, then](SimPort* p, const Bytes& written) {
    module(p, written);
    then(written);
  };
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
    WriteJobRequest request = WriteRequestFor(row0, port, 3, stateDir);
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
  std::string ComThreeState() { return stateDir + "/vfd-COM3.state"; }

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
  // The same state, as a file another account wrote (any member of the
  // state directory's group may): it counts for nothing, and says whose it is.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(ComThreeState().c_str(), Stranger(), Stranger()), 0);
    JobReport planted = Run(request);
    EXPECT_EQ(planted.outcome, OUTCOME_STORED);
    ASSERT_FALSE(planted.warnings.empty());
    EXPECT_NE(planted.warnings.front().find("uid " + std::to_string(Stranger())), std::string::npos)
        << planted.warnings.front();
  }

  int stored = display->recordsStored;
  request.check = true;
  EXPECT_EQ(Run(request).outcome, OUTCOME_UNCHANGED);
  WriteJobRequest last = request;
  last.record.bytes[127] = 0x21;  // differs in its very last byte
  JobReport check = Run(last);
  EXPECT_EQ(check.outcome, OUTCOME_WOULD_WRITE);
  EXPECT_TRUE(check.changed) << "--check says changed where a real run would";
  EXPECT_EQ(display->recordsStored, stored) << "--check sent a record";
  last.check = false;
  last.fields[1] = u"Open 8-22";  // the fields make the same rows; the record is the one compared
  EXPECT_EQ(Run(last).outcome, OUTCOME_STORED);
  EXPECT_EQ(display->recordsStored, stored + 1);
}

// The port found by searching is the one compared, by a real run and by
// --check alike; --check probes (enter, exit), asks what a write asks
// (enter, query, exit) and sends no record.
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
            (std::vector<std::string>{"enter", "exit", "enter", "exit", "enter", "query", "exit"}));
}

// A message file's pattern limits the search: a port outside it is never
// opened, display or not, and the kept state of a port inside it decides
// without opening any.
TEST_F(ConsoleJob, ASearchAmongGivenPortsLeavesEveryOtherPortAlone) {
  SimModule* outside = Display("COM3");
  Display("COM5");
  WriteJobRequest request = Request("Sale", "");
  request.among = {u"COM4", u"COM5"};
  request.ifChanged = true;
  JobReport stored = Run(request);
  EXPECT_EQ(stored.outcome, OUTCOME_STORED);
  EXPECT_EQ(Port(stored), "COM5");
  EXPECT_EQ(stored.candidates.size(), 2u);
  int opens = SimCountEvents("open");
  JobReport again = Run(request);
  EXPECT_EQ(again.outcome, OUTCOME_UNCHANGED);
  EXPECT_EQ(Port(again), "COM5");
  EXPECT_EQ(SimCountEvents("open"), opens) << "a port was opened";
  EXPECT_TRUE(outside->commands.empty());
  EXPECT_EQ(SimCountEvents("open", "\\\\.\\COM3"), 0);
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

  std::ofstream(ComThreeState()) << "record=12\n";
  WriteJobRequest damaged = Request("Sale");
  damaged.ifChanged = true;
  JobReport written = Run(damaged);
  EXPECT_EQ(written.outcome, OUTCOME_STORED) << "a damaged state counted as holding the record";
  EXPECT_NE(written.warnings.front().find("writing anyway"), std::string::npos);

  // Ports used without a lock file are said once, however many were opened.
  // The processes the look at who holds the port could not look into are
  // counted in the JSON: the run went on.
  PortOpenDetail unlocked = {};
  snprintf(unlocked.lockProblem, sizeof unlocked.lockProblem, "no lock directory");
  unlocked.unseenProcesses = 3;
  SimSetOpenDetail(unlocked);
  JobReport searched = Run(Request("Sale", ""));
  EXPECT_EQ(std::count_if(searched.warnings.begin(), searched.warnings.end(),
                          [](const std::string& w) { return w.find("(no lock directory)") != std::string::npos; }),
            1);
  JobReport given = Run(Request("Sale"));
  EXPECT_EQ(given.outcome, OUTCOME_STORED);
  EXPECT_NE(ReportJson("write", given, {}, false).find("\"unseen_processes\": 3"), std::string::npos);
}

// One way a port can be, as each way of running meets it.
struct PortCondition {
  const char* what;
  const char* port;                          // empty: searched
  std::function<void(SimPort*, SimModule*)> make;
  JobOutcome outcome;                        // a real run's
  PortReason reason;
  JobOutcome found;                          // find --port
};

const char BracedType[] = "{port}{detail}x";  // another product type, braces and all
void AnotherType(SimPort*, SimModule* m) { SimControl(m, "product-type \"" + std::string(BracedType) + "\""); }
void AsItIs(SimPort*, SimModule*) {}

// --check asks what a real run asks (set-up mode, the product type, leaving
// set-up mode) and ends as it ends, with would_write for stored; it never
// sends the record. find on the given port tells the same reason.
TEST_F(ConsoleJob, CheckEndsAsARealRunOnEveryPort) {
  const PortCondition conditions[] = {
      {"missing", "COM3", [](SimPort* p, SimModule*) { p->exists = false; }, OUTCOME_OPEN_FAILED,
       REASON_NO_SUCH_PORT, OUTCOME_OPEN_FAILED},
      {"a regular file", "COM3", [](SimPort* p, SimModule*) { p->failGetCommState = 1; }, OUTCOME_OPEN_FAILED,
       REASON_NOT_SERIAL, OUTCOME_OPEN_FAILED},
      {"busy", "COM3",
       [](SimPort* p, SimModule*) {
         p->busy = true;
         p->busyError = ERROR_BUSY;  // as the POSIX claim tells it
         PortOpenDetail holder = {};
         holder.holderProcessId = 4321;
         SimSetOpenDetail(holder);
       },
       OUTCOME_OPEN_FAILED, REASON_BUSY, OUTCOME_OPEN_FAILED},
      // The look at who holds the port ended by a stop request (ERROR_OPERATION_ABORTED).
      {"stopped while looking who holds it", "COM3",
       [](SimPort* p, SimModule*) {
         p->busy = true;
         p->busyError = 995;
       },
       OUTCOME_INTERRUPTED, REASON_NONE, OUTCOME_NO_DISPLAY},
      {"a silent display", "COM3", [](SimPort*, SimModule* m) { SimControl(m, "mode silent"); }, OUTCOME_NO_ANSWER,
       REASON_NONE, OUTCOME_NO_ANSWER},
      {"a wrong reply to enter set-up", "COM3", [](SimPort*, SimModule* m) { SimControl(m, "mode bad-enter"); },
       OUTCOME_NOT_CONFIRMED, REASON_NONE, OUTCOME_NO_DISPLAY},
      {"a malformed product-type reply", "COM3", [](SimPort*, SimModule* m) { SimControl(m, "mode bad-query"); },
       OUTCOME_NOT_CONFIRMED, REASON_NONE, OUTCOME_FOUND},
      {"another product type", "COM3", AnotherType, OUTCOME_INCOMPATIBLE, REASON_NONE, OUTCOME_FOUND},
      {"the display", "COM3", AsItIs, OUTCOME_STORED, REASON_NONE, OUTCOME_FOUND},
      {"another product type, searched", "", AnotherType, OUTCOME_INCOMPATIBLE, REASON_NONE, OUTCOME_FOUND},
      {"the display, searched", "", AsItIs, OUTCOME_STORED, REASON_NONE, OUTCOME_FOUND},
  };
  for (const PortCondition& c : conditions) {
    SCOPED_TRACE(c.what);
    JobReport reports[2];
    for (bool check : {false, true}) {
      TearDown();
      SetUp();
      SimModule* display = Display("COM3");
      c.make(SimFindPort("COM3"), display);
      WriteJobRequest request = Request("Sale", c.port);
      request.check = check;
      reports[check] = Run(request);
      // The JSON's product_type: null unless the module named one.
      bool named = c.outcome == OUTCOME_STORED || c.outcome == OUTCOME_INCOMPATIBLE;
      EXPECT_EQ(reports[check].productTypeKnown, named);
      const std::vector<std::string>& commands = display->commands;
      EXPECT_EQ(SimCommandCount(display, "write"), check || c.outcome != OUTCOME_STORED ? 0 : 1);
      if (!commands.empty()) {
        EXPECT_EQ(commands.back(), "exit") << "left in set-up mode";
      }
      if (check && c.outcome != OUTCOME_OPEN_FAILED) {
        EXPECT_EQ(std::count(commands.begin(), commands.end(), "query"),
                  c.outcome == OUTCOME_NO_ANSWER || c.found == OUTCOME_NO_DISPLAY ? 0 : 1);
      }
      EXPECT_EQ(SimOpenHandleCount(), 0);
    }
    JobOutcome checked = c.outcome == OUTCOME_STORED ? OUTCOME_WOULD_WRITE : c.outcome;
    EXPECT_EQ(reports[0].outcome, c.outcome);
    EXPECT_EQ(reports[1].outcome, checked);
    EXPECT_EQ(ExitCodeOf(reports[1], 0), ExitCodeOf(reports[0], 0));
    EXPECT_EQ(reports[1].reason, c.reason);
    EXPECT_EQ(reports[1].changed, c.outcome == OUTCOME_STORED);
    if (c.outcome != OUTCOME_STORED) {
      EXPECT_EQ(reports[1].text, reports[0].text);
    }
    if (c.outcome == OUTCOME_INCOMPATIBLE) {
      EXPECT_EQ(reports[1].text, "the module on COM3 is product type \"" + std::string(BracedType) +
                                     "\"; only CU20029T307A01 modules are written");
    }
    if (*c.port == 0) continue;
    TearDown();
    SetUp();
    c.make(SimFindPort("COM3"), Display("COM3"));
    JobReport find;
    RunFindJob(u"COM3", JobHooks{}, &find);
    EXPECT_EQ(find.outcome, c.found);
    EXPECT_EQ(find.reason, c.reason);
  }
}

// A stop request that comes once the display answered the search: nothing
// is sent, and nothing of the kept state is lost.
TEST_F(ConsoleJob, AStopAfterTheSearchFoundTheDisplaySendsNothing) {
  SimModule* display = Display("COM3");
  AfterEachWrite("COM3", [&](const Bytes&) {
    if (!display->commands.empty() && display->commands.back() == "exit") StopNow = true;
  });
  JobReport report = Run(Request("Sale", ""));
  EXPECT_EQ(report.outcome, OUTCOME_INTERRUPTED);
  EXPECT_EQ(Port(report), "COM3");
  EXPECT_EQ(display->commands, (std::vector<std::string>{"enter", "exit"}));
}

// Without a port, --if-changed trusts the configured port's kept state
// without probing (a display that is off stays unasked), --check as a real
// run; a state that names another device, or another attachment (a new
// boot), is no state of this one.
TEST_F(ConsoleJob, TheConfiguredPortsOwnKeptStateDecidesWithoutProbing) {
  SimModule* display = Display("COM3");
  SimAddRegString(SimAddRegKey(expected::LineDisplayKey), "Port", "COM3");
  ASSERT_EQ(Run(Request("Sale")).outcome, OUTCOME_STORED);
  SimControl(display, "mode silent");
  int opens = SimCountEvents("open");
  for (bool check : {false, true}) {
    WriteJobRequest request = Request("Sale", "");
    request.ifChanged = true;
    request.check = check;
    JobReport report = Run(request);
    EXPECT_EQ(report.outcome, OUTCOME_UNCHANGED) << "check: " << check;
    EXPECT_EQ(Port(report), "COM3");
    EXPECT_TRUE(report.displayOnRecord) << "a run by hand would not keep its last run";
  }
  EXPECT_EQ(SimCountEvents("open"), opens) << "a port was probed";

  SimControl(display, "mode normal");
  std::string state = ComThreeState();
  std::string text = [&] { std::stringstream all; all << std::ifstream(state).rdbuf(); return all.str(); }();
  std::ofstream(state) << "device=COM4" << text.substr(text.find('\n'));
  WriteJobRequest request = Request("Sale", "");
  request.ifChanged = true;
  EXPECT_EQ(Run(request).outcome, OUTCOME_STORED) << "another device's state counted";
  std::ofstream(stateDir + "/boot_id") << "another boot\n";
  setenv("VFDSTARTUP_BOOT_ID", (stateDir + "/boot_id").c_str(), 1);
  EXPECT_EQ(Run(request).outcome, OUTCOME_STORED) << "a state of the boot before counted";
  unsetenv("VFDSTARTUP_BOOT_ID");
}

// Every way a write can end, and what it leaves of a kept state of "Sale":
// only a confirmed record is kept; a run that sent nothing leaves the old
// state as it was; every other run leaves none. From the moment the record
// may reach the module until it confirms it, no state names any record; the
// confirmed record's state is on disk while the port is still held, so no
// other run can reach the module before it is there. A state that cannot be
// dropped stops the run before anything is sent, --check too.
TEST_F(ConsoleJob, OnlyAConfirmedRecordOrAnUntouchedModuleLeavesAState) {
  enum Left { NONE, OLD, NEW };
  const struct {
    const char* what;
    std::function<void(WriteJobRequest*, SimModule*)> make;
    JobOutcome outcome;
    Left left;
  } paths[] = {
      {"stored", [](WriteJobRequest*, SimModule*) {}, OUTCOME_STORED, NEW},
      {"unchanged", [](WriteJobRequest* r, SimModule*) { r->fields[0] = u"Sale", r->ifChanged = true; },
       OUTCOME_UNCHANGED, OLD},
      {"would write", [](WriteJobRequest* r, SimModule*) { r->check = true; }, OUTCOME_WOULD_WRITE, OLD},
      {"--check, a silent display", [](WriteJobRequest* r, SimModule* m) { r->check = true, SimControl(m, "mode silent"); },
       OUTCOME_NO_ANSWER, OLD},
      {"stopped before the exchange", [](WriteJobRequest*, SimModule*) { StopNow = true; }, OUTCOME_INTERRUPTED, OLD},
      {"not confirmed", [](WriteJobRequest*, SimModule* m) { SimControl(m, "mode no-confirm"); }, OUTCOME_NOT_CONFIRMED, NONE},
      {"incompatible", [](WriteJobRequest*, SimModule* m) { SimControl(m, "product-type \"CU20029T307A02 \""); },
       OUTCOME_INCOMPATIBLE, NONE},
      {"no answer", [](WriteJobRequest*, SimModule* m) { SimControl(m, "mode silent"); }, OUTCOME_NO_ANSWER, NONE},
      {"busy", [](WriteJobRequest*, SimModule*) { SimFindPort("COM3")->busy = true; }, OUTCOME_OPEN_FAILED, NONE},
      {"io error", [](WriteJobRequest*, SimModule* m) { SimControl(m, "mode hangup 1"); }, OUTCOME_IO_ERROR, NONE},
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.what);
    TearDown();
    SetUp();
    std::string state = ComThreeState();
    SimModule* display = Display("COM3");
    ASSERT_EQ(Run(Request("Sale")).outcome, OUTCOME_STORED);
    bool stateAtRecord = false;
    std::vector<bool> stateAtClose;
    AfterEachWrite("COM3",
                   [&](const Bytes& sent) { stateAtRecord |= sent.size() == expected::RowSize && fs::exists(state); });
    SimFindPort("COM3")->onClose = [&](SimPort*) { stateAtClose.push_back(fs::exists(state)); };
    WriteJobRequest request = Request("Winter");
    path.make(&request, display);
    if (request.ifChanged) request.record = Request("Sale").record;
    EXPECT_EQ(Run(request).outcome, path.outcome);
    EXPECT_FALSE(stateAtRecord) << "the old state was still there when the record went out";
    for (bool kept : stateAtClose) EXPECT_EQ(kept, path.left != NONE) << "the state when the port was let go";
    EXPECT_TRUE(path.left != NEW || stateAtClose.size() == 1u) << "the stored record's port let go more than once";
    PortState kept;
    std::string reason;
    StateRead read = ReadPortState(stateDir, "COM3", &kept, &reason);
    EXPECT_EQ(read == STATE_FOUND, path.left != NONE) << reason;
    if (read == STATE_FOUND) {
      EXPECT_EQ(Bytes(kept.record.bytes, kept.record.bytes + 128),
                expected::Record(0x13, path.left == NEW ? "Winter" : "Sale", "Open 8-22"));
    }
  }
  // A state in the way that cannot be removed: nothing is sent, --check ends alike.
  TearDown();
  SetUp();
  SimModule* display = Display("COM3");
  fs::create_directories(ComThreeState() + "/x");
  for (bool check : {false, true}) {
    WriteJobRequest request = Request("Winter");
    request.check = check;
    JobReport report = Run(request);
    EXPECT_EQ(report.outcome, OUTCOME_STATE_ERROR);
    EXPECT_EQ(ExitCodeOf(report, 0), 5);
    EXPECT_NE(report.text.find("nothing was sent: the kept state could not be dropped (cannot remove " + ComThreeState() +
                               ": Is a directory); the user needs write access to " + stateDir),
              std::string::npos) << report.text;
  }
  EXPECT_EQ(SimCountEvents("open"), 0) << "the port was opened";
  EXPECT_TRUE(display->commands.empty());
}

// A wait is shown against what it lasts at most in all: a probe's answer per
// round of at most 32 probes, an exchange's three answers.
std::vector<std::pair<std::string, unsigned>> Waits;
void RecordWait(void*, const std::string& what, unsigned maxSeconds) { Waits.emplace_back(what, maxSeconds); }

TEST_F(ConsoleJob, AWaitIsShownAgainstItsWholeBound) {
  Display("COM4");
  Waits.clear();
  WriteJobRequest request = Request("Sale", "");
  request.hooks.waiting = RecordWait;
  ASSERT_EQ(Run(request).outcome, OUTCOME_STORED);
  EXPECT_EQ(Waits, (std::vector<std::pair<std::string, unsigned>>{
                       {"looking for the display on 3 ports", 6}, {"", 0}, {"talking to the display on COM4", 16}, {"", 0}}));
  std::string ports;
  for (int i = 3; i <= 42; ++i) {
    ports += "COM" + std::to_string(i) + " ";
    if (i > 5) SimAddPort("COM" + std::to_string(i));
  }
  setenv("VFDSTARTUP_PORTS", ports.c_str(), 1);
  Waits.clear();
  JobReport find;
  RunFindJob(u"", JobHooks{nullptr, nullptr, nullptr, RecordWait, nullptr}, &find);
  unsetenv("VFDSTARTUP_PORTS");
  ASSERT_FALSE(Waits.empty());
  EXPECT_EQ(Waits[0], std::make_pair(std::string("looking for the display on 40 ports"), 12u)) << "two rounds";
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
  AfterEachWrite("COM3", [](const Bytes&) { StopNow = true; });  // while COM3's probe waits for an answer
  JobReport report = Run(Request("Sale", ""));
  EXPECT_EQ(report.outcome, OUTCOME_INTERRUPTED);
  EXPECT_EQ(silent->commands, (std::vector<std::string>{"enter", "exit"}));
  EXPECT_EQ(SimCountEvents("read", "\\\\.\\COM3"), 1) << "the probe waited on for its answer";
  // Whether the other probes had sent their enter command when the stop came
  // depends on how their threads ran; each that had, sent the exit command
  // after it, and nothing else.
  EXPECT_TRUE(IsTheDialogsProbe(display->commands));
  EXPECT_TRUE(IsTheDialogsProbe(later->commands));
  EXPECT_EQ(SimCommandCount(display, "write"), 0);
  for (const char* name : {"COM3", "COM4", "COM5"}) EXPECT_FALSE(SimFindPort(name)->open) << name;
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// The dialog's choice is the first port that answers once every port before
// it is done: the record goes out while the probes after it still wait, and
// those end at their next step, each put back and closed.
TEST_F(ConsoleJob, AWriteDoesNotWaitForTheProbesAfterTheDisplay) {
  SimModule* display = Display("COM3");
  AfterEachWrite("COM3", [&](const Bytes&) { RecordStored = display->recordsStored > 0; });
  std::vector<SimModule*> later;
  for (const char* name : {"COM4", "COM5"}) {
    later.push_back(Display(name));
    SimControl(later.back(), "mode silent");
    AfterEachWrite(name, [](const Bytes&) {
      std::lock_guard<std::mutex> hold(LaterProbeLock);
      LaterProbeThreads.insert(std::this_thread::get_id());
    });
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
  EXPECT_TRUE(InAChild([&] {
    rlimit one = {1, 1};
    JobReport report;
    if (setrlimit(RLIMIT_NPROC, &one) != 0 || !BecomeStranger()) return false;
    RunFindJob(u"", JobHooks{}, &report);
    return report.outcome == OUTCOME_FOUND && Port(report) == "COM4";
  })) << "the search never ended, or not with the dialog's choice";
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

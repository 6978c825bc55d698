// The console's jobs over the simulated port and registry: the decision a
// real run and --check make alike, the kept state around the exchange, the
// search's own receive buffers, and a stop request during a search.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

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

bool StopNow = false;
bool IsStopNow() { return StopNow; }

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
}

TEST_F(ConsoleJob, EveryProbeAndExchangeHasItsOwnReceiveBuffer) {
  for (const char* name : {"COM3", "COM4", "COM5"}) Display(name);
  ASSERT_EQ(Run(Request("Sale", "")).outcome, OUTCOME_STORED);
  std::map<std::string, std::set<const BYTE*>> buffers;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "read") buffers[e.port].insert(e.buffer);
  std::set<const BYTE*> all;
  for (const auto& port : buffers) {
    EXPECT_EQ(buffers.count(port.first), 1u);
    all.insert(port.second.begin(), port.second.end());
  }
  EXPECT_EQ(all.count(ReceiveBuffer), 0u) << "the process-wide buffer was used";
  EXPECT_EQ(buffers["\\\\.\\COM4"].size(), 1u);
  EXPECT_EQ(buffers["\\\\.\\COM5"].size(), 1u);
  EXPECT_EQ(buffers["\\\\.\\COM3"].size(), 2u) << "COM3's probe and its exchange";
  EXPECT_EQ(all.size(), 4u) << "two probes shared a buffer";
}

// A stop request ends each probe at its next step; a port that was asked to
// enter set-up mode is told to leave it, and every port is put back.
TEST_F(ConsoleJob, AStopDuringTheSearchEndsEveryProbeAndSendsNothing) {
  SimModule* silent = Display("COM3");
  SimControl(silent, "mode silent");
  SimModule* display = Display("COM4");
  SimPort* port = SimFindPort("COM3");
  SimResponder module = port->responder;
  port->responder = [&](SimPort* p, const Bytes& written) {
    StopNow = true;  // the stop comes while COM3's probe waits for an answer
    module(p, written);
  };
  JobReport report = Run(Request("Sale", ""));
  EXPECT_EQ(report.outcome, OUTCOME_INTERRUPTED);
  EXPECT_EQ(silent->commands, (std::vector<std::string>{"enter", "exit"}));
  // Whether the other probes had sent their enter command when the stop came
  // depends on how their threads ran; each that had, sent the exit command
  // after it, and nothing else.
  for (const char* name : {"COM4", "COM5"}) {
    const Bytes& sent = SimFindPort(name)->written;
    EXPECT_TRUE(sent.empty() || sent == expected::Concat({expected::EnterCommand, expected::ExitCommand}))
        << name << ": " << HexOf(sent);
  }
  EXPECT_EQ(SimCommandCount(display, "write"), 0);
  for (const char* name : {"COM3", "COM4", "COM5"}) EXPECT_FALSE(SimFindPort(name)->open) << name;
  EXPECT_EQ(SimOpenHandleCount(), 0);
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

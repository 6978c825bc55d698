// The display probe against simulated ports and modules: the order of its
// steps, every outcome, what it leaves behind on the port, and its waits.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "discovery/display_probe.h"
#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_port.h"

namespace {

bool Probe(const std::string& name) { return ProbeDisplay(expected::Wide(name).c_str()); }

// The calls that reached the port, with the one figure that tells them apart.
std::vector<std::string> Trace() {
  std::vector<std::string> trace;
  for (const SimEvent& e : SimEvents()) {
    std::string entry = e.kind + (e.ok ? "" : "!");
    if (e.kind == "sleep" || e.kind == "purge" || e.kind == "set-timeouts" || e.kind == "set-state" ||
        e.kind == "restore-state")
      entry += ":" + std::to_string(e.value);
    trace.push_back(entry);
  }
  return trace;
}

class DisplayProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimReset();
    port = SimAddPort("COM3");
    module = SimAttachModule(port);
    dcbBefore = port->dcb;
    timeoutsBefore = port->timeouts;
  }
  // Whatever happened, the port is closed with the settings it had.
  void ExpectPortAsBefore() {
    EXPECT_TRUE(SimSameDcb(port->dcb, dcbBefore));
    EXPECT_TRUE(SimSameTimeouts(port->timeouts, timeoutsBefore));
    EXPECT_EQ(SimOpenHandleCount(), 0);
    EXPECT_EQ(SimCountEvents("close"), SimCountEvents("open"));
  }

  SimPort* port = nullptr;
  SimModule* module = nullptr;
  DCB dcbBefore;
  COMMTIMEOUTS timeoutsBefore;
};

TEST_F(DisplayProbeTest, DisplayAnswersInTheProbesOrder) {
  EXPECT_TRUE(Probe("COM3"));
  const std::vector<std::string> expected = {
      "open", "get-state", "get-timeouts", "set-timeouts:4000", "purge:15", "set-state:38400",
      "sleep:10", "modem", "write", "read", "sleep:100", "read", "write", "sleep:50",
      "restore-state:9600", "set-timeouts:7", "close"};
  EXPECT_EQ(Trace(), expected);
  EXPECT_EQ(SimEvents().front().port, "\\\\.\\COM3");
  ASSERT_EQ(port->writes.size(), 2u);
  EXPECT_EQ(port->writes[0], expected::EnterCommand);
  EXPECT_EQ(port->writes[1], expected::ExitCommand);
  EXPECT_FALSE(module->device.setupMode);
  ExpectPortAsBefore();
}

// Every path from the line profile on: the verdict, whether the module was
// told to leave set-up mode, and the virtual time the probe took (all of it
// its own waits).
struct ExchangeCase {
  const char* what;
  std::function<void(SimPort*, SimModule*)> arrange;
  ProbeVerdict verdict;
  int exitCommands;
  int64_t elapsedMs;  // -1: not checked
};

TEST_F(DisplayProbeTest, EveryOutcomeFromTheProfileOnRestoresThePort) {
  const std::vector<ExchangeCase> cases = {
      {"display answers", [](SimPort*, SimModule*) {}, PROBE_FOUND, 1, 10 + 100 + 50},
      {"answer in two pieces 300 ms apart",
       [](SimPort*, SimModule* m) { SimControl(m, "mode split 2 300"); }, PROBE_FOUND, 1, -1},
      // The whole reply allowance: 50 empty polls 100 ms apart.
      {"silent device", [](SimPort*, SimModule* m) { SimControl(m, "mode silent"); }, PROBE_NO_ANSWER, 1,
       10 + 5000 + 50},
      {"garbage answer", [](SimPort*, SimModule* m) { SimControl(m, "mode garbage 41 42 43 44"); },
       PROBE_WRONG_ANSWER, 1, 160},
      {"status byte not zero", [](SimPort*, SimModule* m) { SimControl(m, "mode bad-enter 28 65 01 01"); },
       PROBE_WRONG_ANSWER, 1, 160},
      {"five bytes collected", [](SimPort*, SimModule* m) { SimControl(m, "mode extra-byte 00 0"); },
       PROBE_WRONG_ANSWER, 1, 160},
      // Only the CTS bit counts: other modem lines up are no display.
      {"CTS down, DSR up", [](SimPort* p, SimModule*) { p->modemStatus = MS_DSR_ON; }, PROBE_CTS_DOWN, 0, 10},
      {"CTS down, RLSD up", [](SimPort* p, SimModule*) { p->modemStatus = MS_RLSD_ON; }, PROBE_CTS_DOWN, 0, 10},
      {"CTS held down by the module", [](SimPort*, SimModule* m) { SimControl(m, "mode cts-down"); },
       PROBE_CTS_DOWN, 0, 10},
      {"modem status call fails", [](SimPort* p, SimModule*) { p->failModemStatus = 1; }, PROBE_CTS_DOWN, 0, 10},
      {"line profile refused", [](SimPort* p, SimModule*) { p->failSetCommState = 1; }, PROBE_UNUSABLE, 0, 0},
      {"command write fails", [](SimPort* p, SimModule*) { p->failWrite = 1; }, PROBE_NO_ANSWER, 0, 10},
      {"command write short", [](SimPort* p, SimModule*) { p->shortWriteAt = 1; }, PROBE_NO_ANSWER, 0, 10},
      {"reply read fails", [](SimPort* p, SimModule*) { p->failRead = 1; }, PROBE_NO_ANSWER, 0, 10},
  };
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.arrange(port, module);
    EXPECT_EQ(ProbePort(u"COM3", ReceiveBuffer, nullptr), c.verdict);
    EXPECT_EQ(SimCommandCount(module, "exit"), c.exitCommands);
    if (c.elapsedMs >= 0) {
      EXPECT_EQ(SimNow(), static_cast<uint64_t>(c.elapsedMs));
      EXPECT_EQ(SimSleptMs(), static_cast<uint64_t>(c.elapsedMs));
    }
    if (c.verdict == PROBE_CTS_DOWN) {
      EXPECT_EQ(SimCountEvents("write"), 0);
    }
    // Line settings, then timeouts, then the handle, on every one of these paths.
    std::vector<std::string> trace = Trace();
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(trace.end() - 3, trace.end()),
              (std::vector<std::string>{"restore-state:9600", "set-timeouts:7", "close"}));
    ExpectPortAsBefore();
  }
}

// Before the line profile nothing on the port has changed: closing is all.
TEST_F(DisplayProbeTest, FailuresBeforeTheProfileOnlyClose) {
  const std::vector<std::pair<const char*, std::function<void(SimPort*)>>> cases = {
      {"port missing", [](SimPort* p) { p->exists = false; }},
      {"port held by another program", [](SimPort* p) { p->busy = true; }},
      {"line settings cannot be read", [](SimPort* p) { p->failGetCommState = 1; }},
      {"timeouts cannot be read", [](SimPort* p) { p->failGetCommTimeouts = 1; }},
      {"probe timeouts refused", [](SimPort* p) { p->failSetCommTimeouts = 1; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    SetUp();
    c.second(port);
    EXPECT_FALSE(Probe("COM3"));
    EXPECT_EQ(SimCountEvents("set-state") + SimCountEvents("restore-state"), 0);
    EXPECT_EQ(SimCountEvents("purge"), 0);
    EXPECT_EQ(SimCountEvents("write"), 0);
    EXPECT_EQ(SimNow(), 0u);
    ExpectPortAsBefore();
  }
}

TEST_F(DisplayProbeTest, NamesLongerThanSixteenCharactersAreNotProbed) {
  SimAttachModule(SimAddPort("COMPORTNAME16CHR"));
  EXPECT_TRUE(Probe("COMPORTNAME16CHR"));
  EXPECT_EQ(SimEvents().front().port, "\\\\.\\COMPORTNAME16CHR");

  // Cut to 16 characters it would name the display's port: it is not tried at all.
  SimReset();
  SimAttachModule(SimAddPort("COMPORTNAME16CHR"));
  EXPECT_FALSE(Probe("COMPORTNAME16CHRX"));
  EXPECT_FALSE(Probe(std::string(300, 'C')));
  EXPECT_TRUE(SimEvents().empty());
}

}  // namespace

// ProbeDisplay over Wine's serial I/O against the emulated module: every
// outcome, what went over the line, and the port's settings unchanged after.
#include <gtest/gtest.h>

#include <cstdio>

#include "discovery/display_probe.h"
#include "protocol_expected.h"
#include "rig_client.h"
#include "rig_fixture.h"

namespace {

// The line settings the port has now, as the emulator logs them at an open
// by this test (an open changes nothing).
std::string CurrentLine(const wchar_t* port) {
  size_t opens = EventsNamed(port, "open").size();
  std::wstring path = std::wstring(L"\\\\.\\") + port;
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return "";
  CloseHandle(handle);
  return JsonField(WaitForEvent(port, "open", opens + 1).json, "line");
}

std::string Received(const wchar_t* port) { return HexOf(ReceivedBytes(port)); }

const std::string EnterExit = HexOf(expected::Concat({expected::EnterCommand, expected::ExitCommand}));

struct ProbeCase {
  const char* what;
  const wchar_t* port;
  std::vector<std::string> setup;
  ProbeVerdict verdict;
  std::string received;  // everything the probe sent
};

class Win32Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RigAvailable()) << "run inside the Wine rig (tools/wine-rig/rig.sh run)";
  }
  void TearDown() override { ResetRigState(); }
};

TEST_F(Win32Probe, EveryOutcomeLeavesThePortAsItWas) {
  const ProbeCase cases[] = {
      {"module answers", L"COM1", {}, PROBE_FOUND, EnterExit},
      {"CTS down", L"COM1", {"mode cts-down"}, PROBE_CTS_DOWN, ""},
      {"garbage answer", L"COM1", {"mode garbage"}, PROBE_WRONG_ANSWER, EnterExit},
      {"answer of five bytes", L"COM1", {"mode extra-byte 00 0"}, PROBE_WRONG_ANSWER, EnterExit},
      // Windows answers a port another program holds with access denied.
      {"port held elsewhere", L"COM2", {"busy on"}, PROBE_ACCESS_DENIED, ""},
      {"no device behind the name", L"COM7", {}, PROBE_MISSING, ""},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(ResetRigState());
    bool emulated = std::wstring(c.port) != L"COM7";
    std::string before = emulated ? SetForeignLineSettings(c.port) : "";
    if (emulated) {
      ASSERT_NE(before, "");
    }
    ASSERT_TRUE(c.setup.empty() || Emulator(c.port, c.setup));

    // A buffer of its own, as the console's probes use side by side.
    static BYTE buffer[expected::ReceiveBufferSize];
    double start = NowMs();
    ProbeVerdict verdict = ProbePort(reinterpret_cast<const Utf16Unit*>(c.port), buffer, nullptr);
    double elapsed = NowMs() - start;
    std::printf("probe, %s: verdict %d in %.1f ms\n", c.what, static_cast<int>(verdict), elapsed);

    EXPECT_EQ(verdict, c.verdict);
    if (!emulated) continue;
    // The exit command was written before the probe returned.
    if (!c.received.empty()) WaitForEvent(c.port, "command", 2);
    EXPECT_EQ(Received(c.port), c.received);
    for (const LogEvent& command : EventsNamed(c.port, "command"))
      EXPECT_EQ(JsonField(JsonField(command.json, "line"), "crtscts"), "false") << command.json;
    ASSERT_TRUE(Emulator(c.port, {"busy off"}));
    EXPECT_EQ(CurrentLine(c.port), before) << "the port's settings changed";
  }
}

}  // namespace

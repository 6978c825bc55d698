// DiscoverPorts with Wine's registry (registry_ops_win32.cpp), the product's
// own combo operations on a real sorted combo box, and emulated modules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "combo_window.h"
#include "discovery/port_discovery.h"
#include "protocol/display_protocol.h"
#include "protocol_expected.h"
#include "rig_client.h"
#include "rig_fixture.h"

namespace {

typedef std::vector<std::wstring> Names;
typedef std::vector<std::string> Commands;

const Commands ProbedOnce = {"enter", "exit"};
const Commands NotProbed = {};

class Win32Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RigAvailable()) << "run inside the Wine rig (tools/wine-rig/rig.sh run)";
    ASSERT_TRUE(ResetRigState());
  }
  void TearDown() override {
    DestroyComboWindow(&window_);
    ResetRigState();
  }

  // A fresh combo, discovery into it, the time it took.
  void Discover() {
    DestroyComboWindow(&window_);
    window_ = CreateComboWindow();
    ASSERT_NE(window_.combo, nullptr) << "no window (is DISPLAY set? run the rig with --x)";
    double start = NowMs();
    DiscoverPortsInto(window_);
    elapsedMs_ = NowMs() - start;
    field_ = ComboFieldText(window_.combo);
    list_ = ComboListItems(window_.combo);
  }

  ComboWindow window_ = {nullptr, nullptr};
  double elapsedMs_ = 0;
  std::wstring field_;
  Names list_;
};

struct ViewCase {
  const char* what;
  REGSAM view;
  const wchar_t* expectedField;
  Commands com1, com2;
};

// A 32-bit program reads SOFTWARE through the 32-bit view (WOW6432Node); a
// value only in the 64-bit view is not its configuration.
TEST_F(Win32Discovery, ConfiguredPortComesFromThe32BitView) {
  const ViewCase cases[] = {
      {"Port = COM2 in the 32-bit view", KEY_WOW64_32KEY, L"COM2", NotProbed, ProbedOnce},
      {"Port = COM2 only in the 64-bit view", KEY_WOW64_64KEY, L"COM1", ProbedOnce, NotProbed},
  };
  for (const ViewCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(ResetRigState());
    ASSERT_TRUE(SetOposPort(c.view, L"COM2"));
    ASSERT_NO_FATAL_FAILURE(Discover());
    EXPECT_EQ(field_, c.expectedField);
    EXPECT_EQ(list_, (Names{L"COM1", L"COM2"}));
    EXPECT_EQ(CommandNames(L"COM1"), c.com1);
    EXPECT_EQ(CommandNames(L"COM2"), c.com2);
  }
}

// Both modules answer; the one enumerated first is chosen although the
// sorted list shows it second.
TEST_F(Win32Discovery, FirstAnsweringPortInEnumerationOrderWins) {
  ASSERT_TRUE(SetSerialComm({PortValue(L"\\Device\\Serial0", L"COM2"),
                             PortValue(L"\\Device\\Serial1", L"COM1")}));
  ASSERT_NO_FATAL_FAILURE(Discover());
  EXPECT_EQ(field_, L"COM2");
  EXPECT_EQ(list_, (Names{L"COM1", L"COM2"}));
  EXPECT_EQ(CommandNames(L"COM2"), ProbedOnce);
  EXPECT_EQ(CommandNames(L"COM1"), NotProbed);
}

// The configured port fails and is not tried again from the list; a name
// with no device and a REG_DWORD value are passed over; the next listed
// module answers.
TEST_F(Win32Discovery, ProbesGoOnPastPortsThatDoNotAnswer) {
  ASSERT_TRUE(Emulator(L"COM1", {"mode garbage"}));
  ASSERT_TRUE(SetOposPort(KEY_WOW64_32KEY, L"COM1"));
  ASSERT_TRUE(SetSerialComm({PortValue(L"\\Device\\Serial0", L"COM7"),
                             PortValue(L"\\Device\\Serial1", L"COM1"),
                             DwordValue(L"\\Device\\Serial2", 5),
                             PortValue(L"\\Device\\Serial3", L"COM2")}));
  ASSERT_NO_FATAL_FAILURE(Discover());
  EXPECT_EQ(field_, L"COM2");
  EXPECT_EQ(CommandNames(L"COM1"), ProbedOnce) << "the configured port was probed again";
  EXPECT_EQ(CommandNames(L"COM2"), ProbedOnce);
  Names sorted = list_;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (Names{L"COM1", L"COM2", L"COM7"})) << "the REG_DWORD value was listed";
}

// Nobody answers: every listed entry is probed, a name listed twice twice,
// and the field stays empty. The list is in the combo's own sorted order.
TEST_F(Win32Discovery, NoDisplayAnywhereLeavesTheFieldEmpty) {
  ASSERT_TRUE(Emulator(L"COM1", {"mode cts-down"}));
  ASSERT_TRUE(Emulator(L"COM2", {"mode garbage"}));
  ASSERT_TRUE(SetSerialComm({PortValue(L"\\Device\\Serial0", L"COM2"),
                             PortValue(L"\\Device\\Serial1", L"COM10"),
                             PortValue(L"\\Device\\Serial2", L"COM1"),
                             PortValue(L"\\Device\\Serial3", L"COM2")}));
  ASSERT_NO_FATAL_FAILURE(Discover());
  EXPECT_EQ(field_, L"");
  EXPECT_EQ(CommandNames(L"COM2"), (Commands{"enter", "exit", "enter", "exit"}));
  EXPECT_TRUE(ReceivedBytes(L"COM1").empty()) << "bytes sent to a port with CTS down";
  // Wine's CBS_SORT compares case-insensitively by character: COM10 before COM2.
  EXPECT_EQ(list_, (Names{L"COM1", L"COM10", L"COM2", L"COM2"}));
  std::printf("no display on 4 listed ports: discovery took %.0f ms\n", elapsedMs_);
}

// Without the port list there is nothing to probe, not even the configured
// port.
TEST_F(Win32Discovery, MissingPortListKeyMeansNoPortsAndNoProbe) {
  ASSERT_TRUE(SetOposPort(KEY_WOW64_32KEY, L"COM1"));
  ASSERT_TRUE(DeleteSerialCommKey());
  ASSERT_NO_FATAL_FAILURE(Discover());
  EXPECT_EQ(field_, L"");
  EXPECT_TRUE(list_.empty());
  EXPECT_TRUE(EventsNamed(L"COM1", "open").empty());
}

// The speed list's sorted style decides each label's position, and the code
// a position sends: the program's table must be in the control's own order,
// whatever order its labels are added in, and each code must be 0x10 plus
// the position. Checked against the documented labels and codes.
TEST(Win32SpeedList, SortedListKeepsTheTableOrderAndItsCodes) {
  ComboWindow window = CreateSpeedListWindow();
  ASSERT_NE(window.combo, nullptr) << "no window (is DISPLAY set? run the rig with --x)";
  for (int i = SpeedCount - 1; i >= 0; --i)
    SendMessageW(window.combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(SpeedTable[i].label));
  std::vector<std::wstring> shown = ComboListItems(window.combo);
  DestroyComboWindow(&window);

  ASSERT_EQ(shown.size(), expected::SpeedRowCount);
  for (size_t position = 0; position < shown.size(); ++position) {
    const expected::SpeedRow& row = expected::SpeedRows[position];
    SCOPED_TRACE(row.label);
    EXPECT_EQ(shown[position], std::wstring(row.label, row.label + std::strlen(row.label)));
    EXPECT_EQ(reinterpret_cast<const wchar_t*>(SpeedTable[position].label), shown[position]);
    EXPECT_EQ(SpeedTable[position].code, row.code);
    EXPECT_EQ(SpeedCodeFor(static_cast<int>(position)), row.code);
  }
}

}  // namespace

// The serial link over Wine's real serial I/O (port_ops_win32.cpp) against
// the emulated module: what reaches the line, how replies are collected,
// and that the port's own settings come back.
#include <gtest/gtest.h>

#include <cstdio>

#include "protocol_expected.h"
#include "rig_client.h"
#include "rig_fixture.h"
#include "serial/serial_link.h"

namespace {

using expected::EnterAccepted;

// The port operations add the \\.\ prefix themselves.
const Utf16Unit Com1[] = u"COM1";

bool WriteBytes(SerialLink* link, const expected::ByteList& bytes) {
  return WriteExact(link, bytes.data(), static_cast<DWORD>(bytes.size()));
}

// What the last reply left in the receive buffer.
expected::ByteList Received(DWORD count) { return expected::ByteList(ReceiveBuffer, ReceiveBuffer + count); }

class Win32SerialLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RigAvailable()) << "run inside the Wine rig (tools/wine-rig/rig.sh run)";
    ASSERT_TRUE(ResetRigState());
  }
  void TearDown() override { ResetRigState(); }
};

// Open, save, profile, timeouts: the start of every exchange.
::testing::AssertionResult OpenConfigured(SerialLink* link, LineProfile profile, TimeoutSet set) {
  if (!OpenPort(Com1, link)) return ::testing::AssertionFailure() << "OpenPort";
  if (!SaveLineSettings(link)) return ::testing::AssertionFailure() << "SaveLineSettings";
  if (!ApplyLineProfile(link, profile)) return ::testing::AssertionFailure() << "ApplyLineProfile";
  if (!ApplyTimeouts(link, set)) return ::testing::AssertionFailure() << "ApplyTimeouts";
  return ::testing::AssertionSuccess();
}

// Sends the enter command and collects its reply; then leaves set-up mode
// and puts the port back as the write sequence does.
DWORD EnterAndCollect(SerialLink* link, bool* readOk) {
  EXPECT_TRUE(DrainInput(link));
  EXPECT_TRUE(WriteBytes(link, expected::EnterCommand));
  DWORD count = 0;
  *readOk = ReadReply(link, static_cast<DWORD>(EnterAccepted.size()), &count);
  return count;
}

void LeaveAndClose(SerialLink* link) {
  WriteBytes(link, expected::ExitCommand);
  Sleep(50);
  RestoreLineSettings(link);
  ClosePort(link);
}

struct ProfileCase {
  LineProfile profile;
  TimeoutSet timeouts;
  const char* crtscts;
};

// Each profile as the emulator sees it while the enter command arrives, and
// the foreign settings back at the close.
TEST_F(Win32SerialLink, ProfileReachesTheLineAndTheOldSettingsComeBack) {
  const ProfileCase cases[] = {
      {WRITE_PROFILE, WRITE_TIMEOUTS, "true"},
      {PROBE_PROFILE, PROBE_TIMEOUTS, "false"},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(c.profile == WRITE_PROFILE ? "write profile" : "probe profile");
    std::string before = SetForeignLineSettings(L"COM1");
    ASSERT_NE(before, "");
    ASSERT_EQ(JsonField(before, "baud"), "19200");

    SerialLink link;
    ASSERT_TRUE(OpenConfigured(&link, c.profile, c.timeouts));
    bool readOk = false;
    DWORD count = EnterAndCollect(&link, &readOk);
    EXPECT_TRUE(readOk);
    EXPECT_EQ(HexOf(Received(count)), HexOf(EnterAccepted));
    LeaveAndClose(&link);

    std::string line = JsonField(WaitForEvent(L"COM1", "command").json, "line");
    EXPECT_EQ(JsonField(line, "baud"), "38400") << line;
    EXPECT_EQ(JsonField(line, "data_bits"), "8") << line;
    EXPECT_EQ(JsonField(line, "parity"), "\"none\"") << line;
    EXPECT_EQ(JsonField(line, "stop_bits"), "1") << line;
    EXPECT_EQ(JsonField(line, "crtscts"), c.crtscts) << line;
    EXPECT_EQ(JsonField(line, "ixon"), "false") << line;
    EXPECT_EQ(JsonField(line, "ixoff"), "false") << line;
    EXPECT_EQ(JsonField(line, "dtr"), "true") << line;
    // With CTS handshake on, Wine leaves RTS to the handshake and does not
    // raise it; without, RTS_CONTROL_ENABLE raises it.
    if (c.profile == PROBE_PROFILE) {
      EXPECT_EQ(JsonField(line, "rts"), "true") << line;
    }

    LogEvent close = WaitForEvent(L"COM1", "close");
    ASSERT_NE(close.json, "") << "the emulator saw no close";
    EXPECT_EQ(JsonField(close.json, "line"), before);
  }
}

struct ReplyCase {
  const char* mode;
  expected::ByteList reply;  // as collected
  int lateByte;              // what the next drain finds, or -1
  size_t writes;             // the emulator's writes of the reply, the late byte's included
};

// How ReadReply assembles what the module sends, and what a drain leaves.
TEST_F(Win32SerialLink, RepliesAreCollectedAsTheyArrive) {
  const ReplyCase cases[] = {
      {"mode split 2 300", EnterAccepted, -1, 2},  // the allowance starts again after a piece
      {"mode extra-byte 00 0", expected::Concat({EnterAccepted, {0x00}}), -1, 1},  // one byte too many
      {"mode extra-byte 55 300", EnterAccepted, 0x55, 2},  // a late byte waits for the next drain
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(Emulator(L"COM1", {"power-cycle", c.mode}));
    size_t writes = EventsNamed(L"COM1", "tx").size() + c.writes;
    SerialLink link;
    ASSERT_TRUE(OpenConfigured(&link, WRITE_PROFILE, WRITE_TIMEOUTS));
    bool readOk = false;
    DWORD count = EnterAndCollect(&link, &readOk);
    EXPECT_TRUE(readOk);
    EXPECT_EQ(HexOf(Received(count)), HexOf(c.reply));

    // Everything the emulator sends is on the line once its log shows it written.
    ASSERT_FALSE(WaitForEvent(L"COM1", "tx", writes).json.empty());
    ReceiveBuffer[0] = 0;
    EXPECT_TRUE(DrainInput(&link));
    EXPECT_EQ(ReceiveBuffer[0], c.lateByte < 0 ? 0 : c.lateByte);
    BYTE rest[expected::DrainReadSize];
    DWORD got = 1;
    EXPECT_TRUE(ReadFile(link.handle, rest, sizeof rest, &got, nullptr));
    EXPECT_EQ(got, 0u) << "the drain left input behind";
    LeaveAndClose(&link);
  }
}

// The one case that waits out the whole allowance.
TEST_F(Win32SerialLink, SilentModuleGivesNoBytesAndNoError) {
  ASSERT_TRUE(Emulator(L"COM1", {"mode silent"}));
  SerialLink link;
  ASSERT_TRUE(OpenConfigured(&link, WRITE_PROFILE, WRITE_TIMEOUTS));
  bool readOk = false;
  double start = NowMs();
  DWORD count = EnterAndCollect(&link, &readOk);
  double elapsed = NowMs() - start;
  EXPECT_TRUE(readOk);
  EXPECT_EQ(count, 0u);
  LeaveAndClose(&link);
  std::printf("silent module: ReadReply gave up after %.0f ms\n", elapsed);
  RecordProperty("silent_reply_ms", static_cast<int>(elapsed));
}

struct OpenCase {
  const char* what;
  const Utf16Unit* name;
  const wchar_t* busyPort;
};

TEST_F(Win32SerialLink, PortsThatCannotBeOpenedFail) {
  const OpenCase cases[] = {
      {"no device behind COM7", u"COM7", nullptr},
      {"COM2 held by another program", u"COM2", L"COM2"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.busyPort) {
      ASSERT_TRUE(Emulator(c.busyPort, {"busy on"}));
    }
    SerialLink link;
    SetLastError(0);
    EXPECT_FALSE(OpenPort(c.name, &link));
    EXPECT_EQ(link.handle, INVALID_HANDLE_VALUE);
    std::printf("%s: CreateFileW failed with error %lu\n", c.what, GetLastError());
    if (c.busyPort) {
      EXPECT_TRUE(EventsNamed(c.busyPort, "open").empty());
      ASSERT_TRUE(Emulator(c.busyPort, {"busy off"}));
    }
  }
}

}  // namespace

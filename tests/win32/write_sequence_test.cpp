// RunWriteSequence end to end over Wine's serial I/O against the emulated
// module: the exact bytes on the line, the record the module stored, the
// boxes, and the port put back and closed on every path.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/display_protocol.h"
#include "recorder_dialog.h"
#include "rig_client.h"
#include "rig_fixture.h"
#include "ui/dialog_state.h"
#include "writing/write_sequence.h"

namespace {

const HWND kDialog = reinterpret_cast<HWND>(static_cast<INT_PTR>(0xD1A1));

const wchar_t kFactoryRow0[] = L"QV rm7700 All-in-One Point of Sale System          ";
const wchar_t kFactoryRow1[] = L" .... Thank You and Have a Nice Day ....           ";

std::string CommandHex(const BYTE* bytes, size_t count) { return Hex(bytes, count); }

const std::string kEnterHex = CommandHex(EnterSetupMode, sizeof EnterSetupMode);
const std::string kQueryHex = CommandHex(QueryProductType, sizeof QueryProductType);
const std::string kWriteHex = CommandHex(WriteStartupMessage, sizeof WriteStartupMessage);
const std::string kExitHex = CommandHex(ExitSetupMode, sizeof ExitSetupMode);

// The record as the module must store it: speed code, ASCII text, zeros.
std::string RecordBytes(BYTE speed, const wchar_t* row0, const wchar_t* row1) {
  std::string record(128, '\0');
  const wchar_t* rows[2] = {row0, row1};
  for (int row = 0; row < 2; ++row) {
    record[row * 64] = static_cast<char>(speed);
    for (size_t i = 0; rows[row][i] != 0; ++i) record[row * 64 + 1 + i] = static_cast<char>(rows[row][i]);
  }
  return record;
}

std::string HexOf(const std::string& bytes) {
  return Hex(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
}

std::wstring OutcomeText(const wchar_t* productType, bool ok) {
  return std::wstring(L"Product type: ") + productType +
         (ok ? L"\r\nStartup Message write: (OK)     " : L"\r\nStartup Message write: (failed) ");
}

DWORD HandleCount() { return OpenHandleCount(); }

// The handle count is how these tests see a port left open; make sure it
// counts at all.
bool HandleCountSeesAnOpenHandle() {
  DWORD before = HandleCount();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD during = HandleCount();
  CloseHandle(event);
  return before > 0 && during == before + 1 && HandleCount() == before;
}

class Win32WriteSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RigAvailable()) << "run inside the Wine rig (tools/wine-rig/rig.sh run)";
    ASSERT_TRUE(HandleCountSeesAnOpenHandle());
  }
  void TearDown() override {
    g_dialogState = nullptr;
    ResetRigState();
  }

  // The rig reset, the dialog's fields filled, a fresh DialogState; every
  // case of a table starts from here.
  void Prepare() {
    ASSERT_TRUE(ResetRigState());
    // Something else in the module's memory, so a stored record shows.
    ASSERT_TRUE(Emulator(L"COM1", {"record-text 15 \"old top\" \"old bottom\"", "reset-log"}));
    dialog_ = ResetRecorderDialog();
    dialog_->portText = L"COM1";
    dialog_->rowText[0] = L"Hello";
    dialog_->rowText[1] = L"World";
    dialog_->speedSelection = 2;
    std::memset(&state_, 0, sizeof state_);
    ResetDevicePath(&state_);
    g_dialogState = &state_;
  }

  // Runs one press and waits until the emulator has seen the port closed
  // (when it was opened at all).
  void Press(WriteAction action, bool expectClose = true) {
    handlesBefore_ = HandleCount();
    RunWriteSequence(kDialog, action);
    handlesAfter_ = HandleCount();
    if (expectClose) closeLine_ = JsonField(WaitForEvent(L"COM1", "close").json, "line");
  }

  RecorderDialog* dialog_ = nullptr;
  DialogState state_;
  DWORD handlesBefore_ = 0, handlesAfter_ = 0;
  std::string closeLine_;
};

struct SuccessCase {
  const char* what;
  WriteAction action;
  std::string record;
  RecordedBox box;
};

TEST_F(Win32WriteSequence, SuccessfulPressPutsExactlyTheTranscriptOnTheLine) {
  const SuccessCase cases[] = {
      {"Write, 200 ms", WRITE_ACTION_WRITE, RecordBytes(0x12, L"Hello", L"World"),
       {L"Startup Message write successful", OutcomeText(L"CU20029T307A01 ", true)}},
      {"FactoryDefault", WRITE_ACTION_FACTORY_DEFAULT, RecordBytes(0x13, kFactoryRow0, kFactoryRow1),
       {L"Success.", L"Factory default restored."}},
  };
  for (const SuccessCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Prepare());
    std::string before = SetForeignLineSettings(L"COM1");
    ASSERT_NE(before, "");
    // The port stays open while the outcome box is on screen: given the
    // time, the emulator would have logged a close by now.
    bool closedUnderTheBox = true;
    dialog_->onBox = [&](const RecordedBox&) {
      Sleep(150);
      closedUnderTheBox = !EventsNamed(L"COM1", "close").empty();
    };

    Press(c.action);
    EXPECT_FALSE(closedUnderTheBox);

    ASSERT_EQ(dialog_->boxes.size(), 1u);
    EXPECT_EQ(dialog_->boxes[0].caption, c.box.caption);
    EXPECT_EQ(dialog_->boxes[0].text, c.box.text);
    EXPECT_EQ(ReceivedHex(L"COM1"), kEnterHex + kQueryHex + kWriteHex + HexOf(c.record) + kExitHex);
    EXPECT_EQ(CommandNames(L"COM1"), (std::vector<std::string>{"enter", "query", "write", "exit"}));
    EXPECT_EQ(HexOf(RigStoredRecord(L"COM1")), HexOf(c.record));
    EXPECT_EQ(closeLine_, before) << "the port's own settings are not back";
    EXPECT_EQ(handlesAfter_, handlesBefore_) << "a handle was left open";
  }
  // FactoryDefault put the fields back before it ran.
  EXPECT_EQ(dialog_->rowText[0], kFactoryRow0);
  EXPECT_EQ(dialog_->rowText[1], kFactoryRow1);
  EXPECT_EQ(dialog_->speedSelection, 3);
}

struct FailureCase {
  const char* what;
  std::vector<std::string> setup;
  WriteAction action;
  std::vector<RecordedBox> boxes;
  std::vector<std::string> commands;  // as the module recognised them
  std::string received;               // hex of everything sent
  bool stored;                        // the module stored a record
};

// Wrong answers go through leaving set-up mode; the module keeps its record.
TEST_F(Win32WriteSequence, WrongAnswersEndWithTheExitCommandAndTheFailedBox) {
  const std::string oldRecord = RecordBytes(0x15, L"old top", L"old bottom");
  const FailureCase cases[] = {
      {"another product type", {"product-type \"CU20029T307A02 \""}, WRITE_ACTION_WRITE,
       {{L"Error: Incompatible VFD module",
         L"Product type: CU20029T307A02 \r\n\r\n\r\nVFD Module must be CU20029-T307A-01 "},
        {L"Startup Message write failed", OutcomeText(L"CU20029T307A02 ", false)}},
       {"enter", "query", "exit"}, kEnterHex + kQueryHex + kExitHex, false},
      {"garbage instead of the enter reply", {"mode garbage"}, WRITE_ACTION_WRITE,
       {{L"Startup Message write failed", OutcomeText(L"", false)}},
       {"enter", "exit"}, kEnterHex + kExitHex, false},
      {"wrong confirmation", {"mode bad-confirm"}, WRITE_ACTION_FACTORY_DEFAULT,
       {{L"Error.", L"Factory default restoration failed."}},
       {"enter", "query", "write", "exit"}, "", true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_TRUE(Emulator(L"COM1", c.setup));
    std::string before = SetForeignLineSettings(L"COM1");

    Press(c.action);

    ASSERT_EQ(dialog_->boxes.size(), c.boxes.size());
    for (size_t i = 0; i < c.boxes.size(); ++i) {
      EXPECT_EQ(dialog_->boxes[i].caption, c.boxes[i].caption);
      EXPECT_EQ(dialog_->boxes[i].text, c.boxes[i].text);
    }
    EXPECT_EQ(CommandNames(L"COM1"), c.commands);
    if (!c.received.empty()) {
      EXPECT_EQ(ReceivedHex(L"COM1"), c.received);
    }
    if (!c.stored) {
      EXPECT_EQ(HexOf(RigStoredRecord(L"COM1")), HexOf(oldRecord));
    }
    EXPECT_EQ(closeLine_, before);
    EXPECT_EQ(handlesAfter_, handlesBefore_);
  }
}

// The one case in this suite that waits out ReadReply's allowance (5 s).
TEST_F(Win32WriteSequence, MissingConfirmationFailsAfterTheRecordWasSent) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_TRUE(Emulator(L"COM1", {"mode no-confirm"}));
  Press(WRITE_ACTION_WRITE);
  ASSERT_EQ(dialog_->boxes.size(), 1u);
  EXPECT_EQ(dialog_->boxes[0].caption, L"Startup Message write failed");
  EXPECT_EQ(dialog_->boxes[0].text, OutcomeText(L"CU20029T307A01 ", false));
  const std::string record = RecordBytes(0x12, L"Hello", L"World");
  EXPECT_EQ(ReceivedHex(L"COM1"), kEnterHex + kQueryHex + kWriteHex + HexOf(record) + kExitHex);
  EXPECT_EQ(handlesAfter_, handlesBefore_);
}

// The module drops the line after the first row: a write fails, so the
// sequence ends with the write error and without the exit command.
TEST_F(Win32WriteSequence, HangUpInTheMiddleOfTheRecordIsAWriteError) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_TRUE(Emulator(L"COM1", {"mode hangup 64"}));
  Press(WRITE_ACTION_WRITE, false);
  ASSERT_EQ(dialog_->boxes.size(), 1u);
  EXPECT_EQ(dialog_->boxes[0].caption, L"Error.");
  EXPECT_EQ(dialog_->boxes[0].text, L"Error writing to COM port.");
  EXPECT_FALSE(WaitForEvent(L"COM1", "hangup").json.empty());
  const std::string row0 = RecordBytes(0x12, L"Hello", L"World").substr(0, 64);
  std::string received = ReceivedHex(L"COM1");
  EXPECT_EQ(received.substr(0, (6 + 5 + 4 + 64) * 2), kEnterHex + kQueryHex + kWriteHex + HexOf(row0));
  EXPECT_EQ(received.find(kExitHex), std::string::npos) << received;
  EXPECT_EQ(handlesAfter_, handlesBefore_) << "the hung-up port was left open";
}

TEST_F(Win32WriteSequence, PortHeldElsewhereShowsTheOpenFailure) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_TRUE(Emulator(L"COM1", {"busy on"}));
  Press(WRITE_ACTION_WRITE, false);
  ASSERT_EQ(dialog_->boxes.size(), 1u);
  EXPECT_EQ(dialog_->boxes[0].caption, L"Error.  Could not open COM port:");
  EXPECT_EQ(dialog_->boxes[0].text, L"COM1");
  EXPECT_TRUE(EventsNamed(L"COM1", "open").empty());
  EXPECT_EQ(handlesAfter_, handlesBefore_);
}

}  // namespace

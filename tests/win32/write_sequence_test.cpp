// RunWriteSequence end to end over Wine's serial I/O against the emulated
// module: the exact bytes on the line, the record the module stored, the
// boxes, and the port put back and closed on every path.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol_expected.h"
#include "rig_client.h"
#include "rig_fixture.h"
#include "sim_dialog.h"
#include "writing/write_sequence.h"

namespace {

using expected::Format;
using expected::Wide;
namespace text = expected::text;

using expected::ByteList;
using expected::Concat;
using expected::EnterCommand;
using expected::ExitCommand;
using expected::QueryCommand;
using expected::WriteCommand;

std::string Received(const wchar_t* port) { return HexOf(ReceivedBytes(port)); }

std::string Stored(const wchar_t* port) { return HexOf(RigStoredRecord(port)); }

SimBox Box(const char* caption, const std::string& text) { return SimBox{Wide(caption), Wide(text)}; }

// Boxes as "caption | text", to compare whole lists.
std::vector<std::u16string> Lines(const std::vector<SimBox>& boxes) {
  std::vector<std::u16string> lines;
  for (const SimBox& box : boxes) lines.push_back(box.caption + u" | " + box.text);
  return lines;
}

SimBox OutcomeBox(const std::string& productType, bool ok) {
  return ok ? Box(text::CaptionWriteOk, Format(text::WriteOk, productType))
            : Box(text::CaptionWriteFailed, Format(text::WriteFailed, productType));
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
    ResetRigState();
  }

  // The rig reset and the dialog's fields filled; every case of a table
  // starts from here.
  void Prepare() {
    ASSERT_TRUE(ResetRigState());
    // Something else in the module's memory, so a stored record shows.
    ASSERT_TRUE(Emulator(L"COM1", {"record-text 15 \"old top\" \"old bottom\"", "reset-log"}));
    dialog_ = SimResetDialog();
    dialog_->portText = u"COM1";
    dialog_->rowText[0] = u"Hello";
    dialog_->rowText[1] = u"World";
    dialog_->speedSelection = 2;
  }

  // Runs one press and waits until the emulator has seen the port closed
  // (when it was opened at all).
  void Press(WriteAction action, bool expectClose = true) {
    handlesBefore_ = HandleCount();
    RunWriteSequence(SimFrontEnd(), action);
    handlesAfter_ = HandleCount();
    if (expectClose) closeLine_ = JsonField(WaitForEvent(L"COM1", "close").json, "line");
  }

  SimDialog* dialog_ = nullptr;
  DWORD handlesBefore_ = 0, handlesAfter_ = 0;
  std::string closeLine_;
};

struct SuccessCase {
  const char* what;
  WriteAction action;
  ByteList record;
  SimBox box;
};

TEST_F(Win32WriteSequence, SuccessfulPressPutsExactlyTheTranscriptOnTheLine) {
  const SuccessCase cases[] = {
      {"Write, 200 ms", WRITE_ACTION_WRITE, expected::Record(0x12, "Hello", "World"),
       OutcomeBox(expected::AcceptedProductType, true)},
      {"FactoryDefault", WRITE_ACTION_FACTORY_DEFAULT, expected::FactoryRecord(),
       Box(text::CaptionFactoryRestored, text::FactoryRestored)},
  };
  for (const SuccessCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Prepare());
    std::string before = SetForeignLineSettings(L"COM1");
    ASSERT_NE(before, "");
    // The port stays open while the outcome box is on screen (a close
    // would be in the log before the program's close call returned).
    bool closedUnderTheBox = true;
    dialog_->onBox = [&](const SimBox&) { closedUnderTheBox = !EventsNamed(L"COM1", "close").empty(); };

    Press(c.action);
    EXPECT_FALSE(closedUnderTheBox);

    EXPECT_EQ(Lines(dialog_->boxes), Lines({c.box}));
    EXPECT_EQ(Received(L"COM1"), HexOf(Concat({EnterCommand, QueryCommand, WriteCommand, c.record, ExitCommand})));
    EXPECT_EQ(CommandNames(L"COM1"), (std::vector<std::string>{"enter", "query", "write", "exit"}));
    EXPECT_EQ(Stored(L"COM1"), HexOf(c.record));
    EXPECT_EQ(closeLine_, before) << "the port's own settings are not back";
    EXPECT_EQ(handlesAfter_, handlesBefore_) << "a handle was left open";
  }
  // FactoryDefault put the fields back before it ran.
  EXPECT_EQ(dialog_->rowText[0], Wide(expected::DefaultRow0));
  EXPECT_EQ(dialog_->rowText[1], Wide(expected::DefaultRow1));
  EXPECT_EQ(dialog_->speedSelection, 3);
}

struct FailureCase {
  const char* what;
  std::vector<std::string> setup;
  WriteAction action;
  std::vector<SimBox> boxes;
  std::vector<std::string> commands;  // as the module recognised them
  ByteList received;                  // everything sent
  bool stored;                        // the module stored a record
};

// Wrong answers go through leaving set-up mode; the module keeps its record.
TEST_F(Win32WriteSequence, WrongAnswersEndWithTheExitCommandAndTheFailedBox) {
  const ByteList oldRecord = expected::Record(0x15, "old top", "old bottom");
  const FailureCase cases[] = {
      {"another product type", {"product-type \"CU20029T307A02 \""}, WRITE_ACTION_WRITE,
       {Box(text::CaptionIncompatible, Format(text::Incompatible, "CU20029T307A02 ")),
        OutcomeBox("CU20029T307A02 ", false)},
       {"enter", "query", "exit"}, Concat({EnterCommand, QueryCommand, ExitCommand}), false},
      {"garbage instead of the enter reply", {"mode garbage"}, WRITE_ACTION_WRITE,
       {OutcomeBox("", false)},
       {"enter", "exit"}, Concat({EnterCommand, ExitCommand}), false},
      {"wrong confirmation", {"mode bad-confirm"}, WRITE_ACTION_FACTORY_DEFAULT,
       {Box(text::CaptionError, text::FactoryFailed)},
       {"enter", "query", "write", "exit"}, {}, true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_TRUE(Emulator(L"COM1", c.setup));
    std::string before = SetForeignLineSettings(L"COM1");

    Press(c.action);

    EXPECT_EQ(Lines(dialog_->boxes), Lines(c.boxes));
    EXPECT_EQ(CommandNames(L"COM1"), c.commands);
    if (!c.received.empty()) {
      EXPECT_EQ(Received(L"COM1"), HexOf(c.received));
    }
    if (!c.stored) {
      EXPECT_EQ(Stored(L"COM1"), HexOf(oldRecord));
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
  EXPECT_EQ(Lines(dialog_->boxes), Lines({OutcomeBox(expected::AcceptedProductType, false)}));
  EXPECT_EQ(Received(L"COM1"), HexOf(Concat({EnterCommand, QueryCommand, WriteCommand,
                                              expected::Record(0x12, "Hello", "World"), ExitCommand})));
  EXPECT_EQ(handlesAfter_, handlesBefore_);
}

// The module drops the line after the first row: a write fails, so the
// sequence ends with the write error and without the exit command.
TEST_F(Win32WriteSequence, HangUpInTheMiddleOfTheRecordIsAWriteError) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_TRUE(Emulator(L"COM1", {"mode hangup 64"}));
  Press(WRITE_ACTION_WRITE, false);
  EXPECT_EQ(Lines(dialog_->boxes), Lines({Box(text::CaptionError, text::WriteError)}));
  EXPECT_FALSE(WaitForEvent(L"COM1", "hangup").json.empty());
  ByteList record = expected::Record(0x12, "Hello", "World");
  ByteList sentBeforeHangUp =
      Concat({EnterCommand, QueryCommand, WriteCommand, ByteList(record.begin(), record.begin() + expected::RowSize)});
  std::string received = Received(L"COM1");
  EXPECT_EQ(received.substr(0, HexOf(sentBeforeHangUp).size()), HexOf(sentBeforeHangUp));
  EXPECT_EQ(received.find(HexOf(ExitCommand)), std::string::npos) << received;
  EXPECT_EQ(handlesAfter_, handlesBefore_) << "the hung-up port was left open";
}

TEST_F(Win32WriteSequence, PortHeldElsewhereShowsTheOpenFailure) {
  ASSERT_NO_FATAL_FAILURE(Prepare());
  ASSERT_TRUE(Emulator(L"COM1", {"busy on"}));
  Press(WRITE_ACTION_WRITE, false);
  EXPECT_EQ(Lines(dialog_->boxes), Lines({Box(text::CaptionOpenFailed, "COM1")}));
  EXPECT_TRUE(EventsNamed(L"COM1", "open").empty());
  EXPECT_EQ(handlesAfter_, handlesBefore_);
}

}  // namespace

// The write sequence against a simulated display module on a simulated port
// with a virtual clock: the bytes on the wire, their order and the pauses
// between them, every failure path with its boxes, and the port's settings
// and handle after each run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_dialog.h"
#include "sim_port.h"
#include "app/exchange_guard.h"
#include "writing/write_sequence.h"

namespace {

using expected::AcceptedProductType;
using expected::Format;
namespace text = expected::text;

// A box as "caption | text".
std::string Box(const char* caption, const std::string& boxText) { return std::string(caption) + " | " + boxText; }

const std::string ReadErrorBox = Box(text::CaptionError, text::ReadError);
const std::string WriteErrorBox = Box(text::CaptionError, text::WriteError);
const std::string WriteOkBox = Box(text::CaptionWriteOk, Format(text::WriteOk, AcceptedProductType));
const std::string FactoryOkBox = Box(text::CaptionFactoryRestored, text::FactoryRestored);
const std::string FactoryFailedBox = Box(text::CaptionError, text::FactoryFailed);
const std::string OpenFailedCom3Box = Box(text::CaptionOpenFailed, "COM3");

// The outcome of a write the module did not confirm, and the box of a module
// of another product type, with the product type as shown.
std::string WriteFailedBox(const std::string& shownType) {
  return Box(text::CaptionWriteFailed, Format(text::WriteFailed, shownType));
}

std::string IncompatibleBox(const std::string& shownType) {
  return Box(text::CaptionIncompatible, Format(text::Incompatible, shownType));
}

std::string RowCutBox(int row, const std::string& kept) {
  return row == 0 ? Box(text::CaptionRow0Cut, Format(text::Row0Cut, kept))
                  : Box(text::CaptionRow1Cut, Format(text::Row1Cut, kept));
}

// One run's world: the dialog, a port with a module on it, and
// what was true at the moment each box was on screen.
struct Scene {
  SimDialog* dialog;
  SimPort* port;
  SimModule* module;
  DCB originalDcb;
  std::vector<int> openHandlesAtBox;
  std::vector<size_t> eventsAtBox;
  std::vector<size_t> writesAtBox;
  WriteResult result;
};

Scene CurrentScene;

Scene& NewScene(const std::string& portName = "COM3") {
  CurrentScene = Scene();
  SimReset();
  CurrentScene.dialog = SimResetDialog();
  CurrentScene.port = SimAddPort(portName);
  CurrentScene.module = SimAttachModule(CurrentScene.port);
  CurrentScene.originalDcb = CurrentScene.port->dcb;
  CurrentScene.dialog->portText = expected::Wide(portName);
  CurrentScene.dialog->rowText[0] = u"Hello";
  CurrentScene.dialog->rowText[1] = u"World";
  CurrentScene.dialog->speedSelection = 3;
  CurrentScene.dialog->onBox = [](const SimBox&) {
    CurrentScene.openHandlesAtBox.push_back(SimOpenHandleCount());
    CurrentScene.eventsAtBox.push_back(SimEvents().size());
    CurrentScene.writesAtBox.push_back(CurrentScene.port->writes.size());
  };
  return CurrentScene;
}

void Press(Scene& scene, WriteAction action) {
  scene.result = RunWriteSequence(SimFrontEnd(), action);
}

std::vector<std::string> Boxes(const Scene& scene) {
  std::vector<std::string> out;
  for (const SimBox& box : scene.dialog->boxes)
    out.push_back(SimUtf8(box.caption.c_str()) + " | " + SimUtf8(box.text.c_str()));
  return out;
}

std::string Describe(const SimEvent& e) {
  if (e.kind == "sleep") return "sleep " + std::to_string(e.value);
  if (e.kind == "read") return e.ok ? ("read " + HexOf(e.bytes)) : "read-failed";
  if (e.kind == "write" && !e.ok) return "write-failed";
  if (e.kind == "write" && e.bytes.size() < e.value) return "write-short " + HexOf(e.bytes);
  if (e.kind == "write") return "write " + HexOf(e.bytes);
  return e.ok || e.kind == "open-failed" ? e.kind : e.kind + "-failed";
}

// Every platform call of the run in order, with a marker where each box came.
std::vector<std::string> Transcript(const Scene& scene) {
  std::vector<std::string> out;
  const std::vector<SimEvent>& events = SimEvents();
  size_t box = 0;
  for (size_t i = 0; i <= events.size(); ++i) {
    for (; box < scene.eventsAtBox.size() && scene.eventsAtBox[box] == i; ++box)
      out.push_back("box " + SimUtf8(scene.dialog->boxes[box].caption.c_str()));
    if (i < events.size()) out.push_back(Describe(events[i]));
  }
  for (std::string& line : out)
    while (!line.empty() && line.back() == ' ') line.pop_back();
  return out;
}

void Append(std::vector<std::string>* to, const std::vector<std::string>& more) {
  to->insert(to->end(), more.begin(), more.end());
}

// A successful exchange with a module that answers 20 ms after each command:
// every reply is still on its way at the first poll and there at the second.
std::vector<std::string> SuccessfulTranscript(const Bytes& record, const std::string& box) {
  using namespace expected;
  std::vector<std::string> t = {"open", "get-state", "set-state", "set-timeouts"};
  Append(&t, {"read", "read", "write " + HexOf(EnterCommand), "read", "sleep 100", "read " + HexOf(EnterAccepted)});
  Append(&t, {"sleep 10", "read", "read", "write " + HexOf(QueryCommand), "read", "sleep 100",
              "read " + HexOf(ProductTypeReply(AcceptedProductType))});
  Append(&t, {"sleep 10", "read", "read", "write " + HexOf(WriteCommand), "sleep 50"});
  Append(&t, {"write " + HexOf(record.data(), RowSize), "write " + HexOf(record.data() + RowSize, RowSize),
              "sleep 100", "read " + HexOf(WriteConfirmed)});
  Append(&t, {"sleep 10", "read", "read", "write " + HexOf(ExitCommand)});
  Append(&t, {"box " + box, "sleep 50", "restore-state", "close"});
  return t;
}

int WritesOfSize(size_t size) {
  int n = 0;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "write" && e.value == size) n++;
  return n;
}

// The exit command is the only write of its size.
int ExitWrites() { return WritesOfSize(expected::ExitCommand.size()); }

// Holds on every path: the saved line settings are back and the port is closed.
void ExpectPortLeftAsFound(const Scene& scene) {
  EXPECT_TRUE(SimSameDcb(scene.port->dcb, scene.originalDcb)) << "line settings not restored";
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// --- complete wire transcripts -----------------------------------------

TEST(WriteSequenceTranscript, WriteSendsTheRecordBuiltFromTheFields) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"Welcome";
  s.dialog->rowText[1] = u"Open 9-5 ~\x7F";
  Press(s, WRITE_ACTION_WRITE);

  Bytes record = expected::Record(0x13, "Welcome", "Open 9-5 ~\x7F");
  EXPECT_EQ(Transcript(s), SuccessfulTranscript(record, text::CaptionWriteOk));
  EXPECT_EQ(Boxes(s), std::vector<std::string>{WriteOkBox});
  EXPECT_EQ(SimStoredRecord(s.module), record);
  EXPECT_EQ(s.result.outcome, WRITE_STORED);
  EXPECT_EQ(Bytes(s.result.record.bytes, s.result.record.bytes + expected::RecordSize), record);
  EXPECT_FALSE(s.module->device.setupMode);
  EXPECT_EQ(SimNow(), SimSleptMs()) << "time passed outside the sequence's own waits";
  EXPECT_EQ(SimNow(), 100u + 10 + 100 + 10 + 50 + 100 + 10 + 50);
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequenceTranscript, FactoryDefaultSendsTheFactoryRecord) {
  Scene& s = NewScene();
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);

  EXPECT_EQ(Transcript(s), SuccessfulTranscript(expected::FactoryRecord(), text::CaptionFactoryRestored));
  EXPECT_EQ(Boxes(s), std::vector<std::string>{FactoryOkBox});
  EXPECT_EQ(SimStoredRecord(s.module), expected::FactoryRecord());
  EXPECT_EQ(SimNow(), SimSleptMs());
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequenceTranscript, SettingsDuringTheExchangeAreTheWriteProfileAndTimeouts) {
  Scene& s = NewScene();
  DCB duringBox = {};
  s.dialog->onBox = [&duringBox](const SimBox&) { duringBox = CurrentScene.port->dcb; };
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(duringBox.BaudRate, 38400u);
  EXPECT_EQ(duringBox.fOutxCtsFlow, 1u);
  EXPECT_EQ(duringBox.ByteSize, 8);
  // The timeouts are not put back: only the line settings are saved.
  EXPECT_EQ(s.port->timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(s.port->timeouts.WriteTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(s.port->timeouts.WriteTotalTimeoutConstant, 5000u);
  ExpectPortLeftAsFound(s);
}

// --- what the module answers ------------------------------------------

struct PressCase {
  const char* name;
  WriteAction action;
  void (*arrange)(Scene&);
  std::vector<std::string> boxes;  // "caption | text", in order
  bool exitSent;
  bool portOpenDuringLastBox;
  WriteOutcome outcome;
};

const PressCase PressCases[] = {
    {"port missing", WRITE_ACTION_WRITE, [](Scene& s) { s.port->exists = false; },
     {OpenFailedCom3Box}, false, false, WRITE_OPEN_FAILED},
    {"port held by another program", WRITE_ACTION_FACTORY_DEFAULT, [](Scene& s) { s.port->busy = true; },
     {OpenFailedCom3Box}, false, false, WRITE_OPEN_FAILED},
    {"GetCommState fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failGetCommState = 1; },
     {Box(text::CaptionError, text::GetStateFailed)}, false, false, WRITE_OPEN_FAILED},
    {"SetCommState fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failSetCommState = 1; },
     {Box(text::CaptionError, text::SetStateFailed)}, false, false, WRITE_OPEN_FAILED},
    {"SetCommTimeouts fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failSetCommTimeouts = 1; },
     {Box(text::CaptionError, text::SetTimeoutsFailed)}, false, false, WRITE_OPEN_FAILED},
    {"silent display", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "mode silent"); },
     {WriteFailedBox("")}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply with a bad status", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-enter 28 65 01 01"); },
     {WriteFailedBox("")}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply with an extra byte", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "mode extra-byte 00 0"); },
     {WriteFailedBox("")}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply one byte short", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "mode bad-enter 28 65 01"); }, {FactoryFailedBox}, true, true, WRITE_NOT_CONFIRMED},
    {"product type reply with an extra byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A01 !\""); },
     {WriteFailedBox("")}, true, true, WRITE_NOT_CONFIRMED},
    {"product type reply with a wrong function byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-query"); }, {WriteFailedBox("")}, true, true, WRITE_NOT_CONFIRMED},
    {"wrong product type", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A02 \""); },
     {IncompatibleBox("CU20029T307A02 "), WriteFailedBox("CU20029T307A02 ")}, true, true, WRITE_INCOMPATIBLE},
    {"wrong product type, factory default", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "product-type \"cu20029t307a01 \""); },
     {IncompatibleBox("cu20029t307a01 "), FactoryFailedBox}, true, true, WRITE_INCOMPATIBLE},
    {"product type with a zero byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A01\\0\""); },
     {IncompatibleBox("CU20029T307A01"), WriteFailedBox("CU20029T307A01")}, true, true, WRITE_INCOMPATIBLE},
    {"confirmation with a bad status", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-confirm 28 65 32 01"); },
     {WriteFailedBox(AcceptedProductType)}, true, true, WRITE_NOT_CONFIRMED},
    {"confirmation missing", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "mode no-confirm"); },
     {WriteFailedBox(AcceptedProductType)}, true, true, WRITE_NOT_CONFIRMED},
    {"confirmation missing, factory default", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "mode no-confirm"); }, {FactoryFailedBox}, true, true, WRITE_NOT_CONFIRMED},
    // Every reply, the product type's too, is collected whole.
    {"replies in 2-byte pieces 300 ms apart", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode split 2 300"); }, {WriteOkBox}, true, true, WRITE_STORED},
    {"replies one byte at a time", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "mode trickle 150"); }, {FactoryOkBox}, true, true, WRITE_STORED},
};

TEST(WriteSequenceAnswers, EachEndsWithItsBoxesAndThePortLeftAsFound) {
  for (const PressCase& c : PressCases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    c.arrange(s);
    Press(s, c.action);
    EXPECT_EQ(Boxes(s), c.boxes);
    EXPECT_EQ(s.result.outcome, c.outcome);
    EXPECT_EQ(SimCommandCount(s.module, "exit"), c.exitSent ? 1 : 0);
    EXPECT_EQ(ExitWrites(), c.exitSent ? 1 : 0);
    ASSERT_FALSE(s.openHandlesAtBox.empty());
    EXPECT_EQ(s.openHandlesAtBox.back(), c.portOpenDuringLastBox ? 1 : 0);
    EXPECT_FALSE(s.module->device.setupMode);
    ExpectPortLeftAsFound(s);
  }
}

// Nothing but the failed call and the close: no settings are written back
// when the port's settings were never changed. A program that opened the
// port after the look before the open is found by the look after it: the
// port is busy, and nothing reaches it.
TEST(WriteSequenceFailures, OpeningFailuresTouchNothingMore) {
  struct Case {
    const char* name;
    void (*arrange)(Scene&);
    std::vector<std::string> calls;
    PortFailure failure;
  } cases[] = {
      {"open", [](Scene& s) { s.port->exists = false; }, {"open-failed", "box Error.  Could not open COM port:"},
       PORT_MISSING},
      {"the look after the open", [](Scene& s) { s.port->openedMeanwhile = true; },
       {"open", "close", "box Error.  Could not open COM port:"}, PORT_BUSY},
      {"GetCommState", [](Scene& s) { s.port->failGetCommState = 1; },
       {"open", "get-state-failed", "close", "box Error."}, PORT_NOT_SERIAL},
      {"SetCommState", [](Scene& s) { s.port->failSetCommState = 1; },
       {"open", "get-state", "set-state-failed", "close", "box Error."}, PORT_UNUSABLE},
      // The write profile is already on the port here; it is put back before
      // the port is closed.
      {"SetCommTimeouts", [](Scene& s) { s.port->failSetCommTimeouts = 1; },
       {"open", "get-state", "set-state", "set-timeouts-failed", "restore-state", "close", "box Error."},
       PORT_UNUSABLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    c.arrange(s);
    Press(s, WRITE_ACTION_WRITE);
    EXPECT_EQ(Transcript(s), c.calls);
    EXPECT_EQ(s.result.outcome, WRITE_OPEN_FAILED);
    EXPECT_EQ(s.result.portFailure, c.failure);
    ExpectPortLeftAsFound(s);
  }
}

TEST(WriteSequenceFailures, SilentDisplayCostsTheFullReplyAllowance) {
  Scene& s = NewScene();
  SimControl(s.module, "mode silent");
  Press(s, WRITE_ACTION_WRITE);

  uint64_t enterAt = 0, exitAt = 0;
  int polls = 0;
  for (const SimEvent& e : SimEvents()) {
    if (e.kind == "write" && e.bytes == expected::EnterCommand) enterAt = e.timeMs;
    if (e.kind == "write" && e.bytes == expected::ExitCommand) exitAt = e.timeMs;
    if (e.kind == "sleep" && e.value == 100) polls++;
  }
  EXPECT_EQ(exitAt - enterAt, 5000u);
  EXPECT_EQ(polls, 50);
  EXPECT_EQ(SimCommandCount(s.module, "query"), 0);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{WriteFailedBox("")});
}

TEST(WriteSequenceFailures, WrongProductTypeSendsNoRecord) {
  Scene& s = NewScene();
  SimControl(s.module, "product-type \"CU20029T307A02 \"");
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(SimCommandCount(s.module, "write"), 0);
  EXPECT_EQ(WritesOfSize(expected::WriteCommand.size()) + WritesOfSize(expected::RowSize), 0);
  EXPECT_EQ(s.dialog->boxes.size(), 2u);
  // The exit command goes out only after the incompatibility box is dismissed.
  EXPECT_EQ(s.writesAtBox, (std::vector<size_t>{2, 3}));
}

// Each read and each write of a successful run, made to fail in turn. With
// the module's timing the n-th read or write is always the same step.
struct IoFault {
  const char* step;
  int readAt, writeAt, shortWriteAt;
  size_t completeWritesBefore;  // commands that went out whole before it
  bool exitAttempted;
};

const IoFault IoFaults[] = {
    {"drain before enter, first read", 1, 0, 0, 0, false},
    {"drain before enter, second read", 2, 0, 0, 0, false},
    {"enter reply, first poll", 3, 0, 0, 1, false},
    {"enter reply, second poll", 4, 0, 0, 1, false},
    {"drain before query, first read", 5, 0, 0, 1, false},
    {"drain before query, second read", 6, 0, 0, 1, false},
    {"product type reply, first poll", 7, 0, 0, 2, false},
    {"product type reply, second poll", 8, 0, 0, 2, false},
    {"drain after product type, first read", 9, 0, 0, 2, false},
    {"drain after product type, second read", 10, 0, 0, 2, false},
    {"confirmation", 11, 0, 0, 5, false},
    {"drain after confirmation, first read", 12, 0, 0, 5, false},
    {"drain after confirmation, second read", 13, 0, 0, 5, false},
    {"enter command", 0, 1, 0, 0, false},
    {"query command", 0, 2, 0, 1, false},
    {"write command", 0, 3, 0, 2, false},
    {"record row 0", 0, 4, 0, 3, false},
    {"record row 1", 0, 5, 0, 4, false},
    {"exit command", 0, 6, 0, 5, true},
    {"enter command short", 0, 0, 1, 0, false},
    {"query command short", 0, 0, 2, 1, false},
    {"write command short", 0, 0, 3, 2, false},
    {"record row 0 short", 0, 0, 4, 3, false},
    {"record row 1 short", 0, 0, 5, 4, false},
    {"exit command short", 0, 0, 6, 5, true},
};

size_t CompleteWrites() {
  size_t n = 0;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "write" && e.ok && e.bytes.size() == e.value) n++;
  return n;
}

TEST(WriteSequenceFailures, EveryReadAndWriteFailureEndsAtOnce) {
  for (const IoFault& f : IoFaults) {
    for (WriteAction action : {WRITE_ACTION_WRITE, WRITE_ACTION_FACTORY_DEFAULT}) {
      SCOPED_TRACE(std::string(f.step) + (action == WRITE_ACTION_WRITE ? " (write)" : " (factory)"));
      Scene& s = NewScene();
      s.port->failRead = f.readAt;
      s.port->failWrite = f.writeAt;
      s.port->shortWriteAt = f.shortWriteAt;
      Press(s, action);
      EXPECT_EQ(Boxes(s), std::vector<std::string>{f.readAt ? ReadErrorBox : WriteErrorBox});
      EXPECT_EQ(s.result.outcome, WRITE_IO_ERROR);
      EXPECT_EQ(CompleteWrites(), f.completeWritesBefore);
      EXPECT_EQ(ExitWrites(), f.exitAttempted ? 1 : 0);
      EXPECT_EQ(SimCommandCount(s.module, "exit"), 0);
      EXPECT_EQ(s.openHandlesAtBox, std::vector<int>{1});
      // Nothing is read or written after the failure.
      const SimEvent& last = SimEvents()[s.eventsAtBox.back() - 1];
      EXPECT_TRUE(!last.ok || last.bytes.size() + 1 == last.value);
      ExpectPortLeftAsFound(s);
    }
  }
}

// A display that holds CTS down never takes a byte: the first write waits
// for its whole write timeout and then comes back short.
TEST(WriteSequenceFailures, CtsHeldDownTimesOutTheEnterCommand) {
  Scene& s = NewScene();
  s.port->modemStatus = MS_DSR_ON;
  Press(s, WRITE_ACTION_WRITE);

  const std::vector<SimEvent>& events = SimEvents();
  size_t write = 0;
  while (write < events.size() && events[write].kind != "write") write++;
  ASSERT_LT(write, events.size());
  EXPECT_EQ(events[write].value, 6u);
  EXPECT_TRUE(events[write].bytes.empty());
  EXPECT_EQ(events[write].timeMs - events[write - 1].timeMs, 2u * 6 + 5000);
  EXPECT_EQ(SimCountEvents("write"), 1);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{WriteErrorBox});
  ExpectPortLeftAsFound(s);
}

// --- the port name -----------------------------------------------------

// The path of the last open attempt.
std::string DevicePath(const Scene&) {
  std::string path;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "open" || e.kind == "open-failed") path = e.port;
  return path;
}

TEST(WriteSequencePortName, TwentyCharactersAreCutToSixteenAndTheRunGoesOn) {
  Scene& s = NewScene("COM1234567890ABC");
  s.dialog->portText = u"COM1234567890ABCDEFG";
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(Boxes(s), (std::vector<std::string>{Box(text::CaptionPortCut, "COM1234567890ABC"), WriteOkBox}));
  EXPECT_EQ(s.openHandlesAtBox.front(), 0) << "the cut is shown before the port is opened";
  EXPECT_EQ(s.dialog->portText, u"COM1234567890ABC");
  EXPECT_EQ(DevicePath(s), "\\\\.\\COM1234567890ABC");
  EXPECT_EQ(s.module->recordsStored, 1);
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequencePortName, SixteenCharactersAreUsedWhole) {
  Scene& s = NewScene("COM1234567890ABC");
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{WriteOkBox});
  EXPECT_EQ(s.dialog->portTextSets, 0);
}

TEST(WriteSequencePortName, EmptyFieldFailsToOpenWithAnEmptyText) {
  Scene& s = NewScene();
  s.dialog->portText = u"";
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{Box(text::CaptionOpenFailed, "")});
  ASSERT_EQ(SimEvents().size(), 1u);
  EXPECT_EQ(SimEvents()[0].kind, "open-failed");
  EXPECT_EQ(SimEvents()[0].port, "\\\\.\\");
}

TEST(WriteSequencePortName, EachPressReplacesTheWholeName) {
  Scene& s = NewScene();
  s.dialog->portText = u"COM1234567890ABCDEF";
  Press(s, WRITE_ACTION_WRITE);
  s.dialog->portText = u"COM3";
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(DevicePath(s), "\\\\.\\COM3");
  EXPECT_EQ(Boxes(s).back(), WriteOkBox);
}

TEST(WriteSequencePortName, NothingRunsWithoutADialogState) {
  NewScene();
  EXPECT_EQ(RunWriteSequence(nullptr, WRITE_ACTION_FACTORY_DEFAULT).outcome, WRITE_NOTHING_RUN);
  EXPECT_TRUE(SimEvents().empty());
  EXPECT_TRUE(SimGetDialog()->boxes.empty());
  EXPECT_EQ(SimGetDialog()->rowText[0], u"Hello");
}

// --- the record and the row fields -------------------------------------

TEST(WriteSequenceRows, RowCutAtAnAccentedLetterIsShownAndWrittenBack) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"abc\u00E9def";
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(Boxes(s), (std::vector<std::string>{RowCutBox(0, "abc"), WriteOkBox}));
  // Shown after the write command went out and before the record did.
  EXPECT_EQ(s.writesAtBox.front(), 3u);
  EXPECT_EQ(s.port->writes[2], expected::WriteCommand);
  EXPECT_EQ(s.openHandlesAtBox.front(), 1);
  EXPECT_EQ(s.dialog->rowText[0], u"abc");
  EXPECT_EQ(s.dialog->rowTextSets[1], 0);
  EXPECT_EQ(SimStoredRecord(s.module), expected::Record(0x13, "abc", "World"));
}

TEST(WriteSequenceRows, BothRowsCutShowTwoBoxesInRowOrder) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"\tTab first";
  s.dialog->rowText[1] = u"Kept part\n and this is dropped";
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(Boxes(s), (std::vector<std::string>{RowCutBox(0, ""), RowCutBox(1, "Kept part"), WriteOkBox}));
  EXPECT_EQ(s.dialog->rowText[0], u"");
  EXPECT_EQ(s.dialog->rowText[1], u"Kept part");
  EXPECT_EQ(SimStoredRecord(s.module), expected::Record(0x13, "", "Kept part"));
}

TEST(WriteSequenceRows, RecordRowsFollowTheFieldsAndTheSpeed) {
  const std::string x62(62, 'x');
  struct Case {
    const char* name;
    int speed;
    std::u16string row0, row1;
    Bytes record;
    std::vector<std::string> boxes;
  } cases[] = {
      {"empty row 1", 3, u"Top", u"", expected::Record(0x13, "Top", ""), {WriteOkBox}},
      {"no speed selected", -1, u"A", u"B", expected::Record(0x12, "A", "B"), {WriteOkBox}},
      {"fastest", 0, u"A", u"B", expected::Record(0x10, "A", "B"), {WriteOkBox}},
      {"slowest", 5, u"A", u"B", expected::Record(0x15, "A", "B"), {WriteOkBox}},
      {"63 characters fill the row", 3, std::u16string(63, u'x'), u"B",
       expected::Record(0x13, std::string(63, 'x'), "B"), {WriteOkBox}},
      // The field never holds more than 63; should it, the rest is dropped
      // without a box.
      {"70 characters", 3, std::u16string(70, u'y'), u"B", expected::Record(0x13, std::string(63, 'y'), "B"),
       {WriteOkBox}},
      // The longest text a row box can show, whole.
      {"62 characters, then a tab", 3, expected::Wide(x62) + u"\t", u"B", expected::Record(0x13, x62, "B"),
       {RowCutBox(0, x62), WriteOkBox}},
      {"62 characters, then an accented letter", 3, u"A", expected::Wide(x62) + u"\u00E9",
       expected::Record(0x13, "A", x62), {RowCutBox(1, x62), WriteOkBox}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    s.dialog->speedSelection = c.speed;
    s.dialog->rowText[0] = c.row0;
    s.dialog->rowText[1] = c.row1;
    Press(s, WRITE_ACTION_WRITE);
    EXPECT_EQ(HexOf(SimStoredRecord(s.module)), HexOf(c.record));
    EXPECT_EQ(Boxes(s), c.boxes);
    EXPECT_EQ(s.dialog->rowTextSets[0] + s.dialog->rowTextSets[1], static_cast<int>(c.boxes.size()) - 1);
    EXPECT_EQ(s.dialog->speedSets, 0);
  }
}

// The product type is judged on the reply itself: input that arrives just
// after it and is drained must not change the verdict.
TEST(WriteSequenceRows, ProductTypeIsJudgedBeforeTheNextDrain) {
  Scene& s = NewScene();
  SimResponder module = s.port->responder;
  s.port->responder = [module](SimPort* port, const Bytes& written) {
    module(port, written);
    if (written == expected::QueryCommand) SimQueueBytes(port, 105, Bytes(18, 0x00));
  };
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{WriteOkBox});
}

// --- factory default ---------------------------------------------------

TEST(WriteSequenceFactoryDefault, FieldsAreResetEvenWhenThePortCannotBeOpened) {
  Scene& s = NewScene();
  s.port->exists = false;
  s.dialog->rowText[0] = u"x";
  s.dialog->rowText[1] = u"y";
  s.dialog->speedSelection = -1;
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);

  EXPECT_EQ(s.dialog->rowText[0], expected::Wide(expected::DefaultRow0));
  EXPECT_EQ(s.dialog->rowText[1], expected::Wide(expected::DefaultRow1));
  EXPECT_EQ(s.dialog->speedSelection, 3);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{OpenFailedCom3Box});
}

TEST(WriteSequenceFactoryDefault, AlwaysSendsTheFactoryRecordWithoutRowBoxes) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"bad\ttext";
  s.dialog->speedSelection = 0;
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);
  Bytes first = SimStoredRecord(s.module);
  s.dialog->rowText[1] = u"other\x80";
  s.dialog->speedSelection = -1;
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);

  EXPECT_EQ(SimCommandCount(s.module, "write"), 2);
  EXPECT_EQ(first, expected::FactoryRecord());
  EXPECT_EQ(SimStoredRecord(s.module), first);
  EXPECT_EQ(Boxes(s), (std::vector<std::string>{FactoryOkBox, FactoryOkBox}));
  EXPECT_EQ(s.dialog->speedSelection, 3);
}

// --- a close request while a sequence runs ------------------------------

// What the dialog's close does, as far as the sequence can tell: its front
// end is gone. Had the close run at once, the sequence would go on with it.
struct CloseRecord {
  int calls = 0, openHandlesAtClose = -1, exitsAtClose = -1;
  size_t eventsAtClose = 0;
};

void CloseTheDialog(void* context) {
  CloseRecord* record = static_cast<CloseRecord*>(context);
  *record = {record->calls + 1, SimOpenHandleCount(), ExitWrites(), SimEvents().size()};
  SimFrontEnd()->dialog = nullptr;
}

TEST(WriteSequenceClose, ACloseDuringAnyBoxWaitsForTheEndOfTheSequence) {
  CloseRecord outside;  // no sequence runs: the close comes at once
  RequestClose(CloseTheDialog, &outside);
  SimFrontEnd()->dialog = SimGetDialog();
  EXPECT_EQ(outside.calls, 1);
  struct Case {
    const char* box;  // the caption of the box during which the close comes
    void (*arrange)(Scene&);
    int exitsSent;
  };
  const Case cases[] = {
      {text::CaptionPortCut, [](Scene& s) { s.dialog->portText += u"XYZ"; }, 1},
      {text::CaptionRow0Cut, [](Scene& s) { s.dialog->rowText[0] = u"ab\tc"; }, 1},
      {text::CaptionRow1Cut, [](Scene& s) { s.dialog->rowText[1] = u"\u00E9"; }, 1},
      {text::CaptionIncompatible, [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A02 \""); }, 1},
      {text::CaptionWriteOk, [](Scene&) {}, 1},
      {text::CaptionError, [](Scene& s) { s.port->failRead = 3; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box);
    Scene& s = NewScene("COM3456789012345");
    c.arrange(s);
    CloseRecord closed;
    s.dialog->onBox = [&](const SimBox& box) {
      if (SimUtf8(box.caption.c_str()) == c.box) RequestClose(CloseTheDialog, &closed);
      EXPECT_EQ(closed.calls, 0) << "closed while a box was up";
    };
    EXPECT_NE(RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE).outcome, WRITE_NOTHING_RUN);
    SimFrontEnd()->dialog = SimGetDialog();
    EXPECT_EQ(closed.calls, 1);
    EXPECT_EQ(closed.eventsAtClose, SimEvents().size()) << "the sequence went on after the close";
    EXPECT_EQ(closed.openHandlesAtClose, 0);
    EXPECT_EQ(closed.exitsAtClose, c.exitsSent);
    // A failed read ends the exchange on the spot, without the exit command.
    EXPECT_EQ(s.module->device.setupMode, c.exitsSent == 0);
    ExpectPortLeftAsFound(s);
  }
}

// A close carried out is done with: the next sequence ends with the dialog open.
TEST(WriteSequenceClose, ACloseIsCarriedOutOnce) {
  Scene& s = NewScene();
  CloseRecord closed;
  s.dialog->onBox = [&](const SimBox&) { RequestClose(CloseTheDialog, &closed); };
  RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE);
  SimFrontEnd()->dialog = SimGetDialog();
  s.dialog->onBox = nullptr;
  EXPECT_EQ(RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE).outcome, WRITE_STORED);
  EXPECT_EQ(closed.calls, 1) << "the close was carried out again";
}

// A button message posted while a box is up would start a second sequence
// on the port the first one holds.
TEST(WriteSequenceClose, NoSecondSequenceStartsInsideABox) {
  Scene& s = NewScene();
  WriteOutcome nested = WRITE_STORED;
  s.dialog->onBox = [&](const SimBox&) { nested = RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE).outcome; };
  EXPECT_EQ(RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE).outcome, WRITE_STORED);
  EXPECT_EQ(nested, WRITE_NOTHING_RUN);
  EXPECT_EQ(SimCommandCount(s.module, "write"), 1);
}

}  // namespace

// The write sequence against a simulated display module on a simulated port
// with a virtual clock: the bytes on the wire, their order and the pauses
// between them, every failure path with its boxes, and the port's settings
// and handle after each run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial_link.h"
#include "sim_dialog.h"
#include "sim_port.h"
#include "app/exchange_guard.h"
#include "writing/write_sequence.h"

namespace {

// The command bytes as the module documents them, written out here rather
// than taken from the program, so a wrong constant shows up.
const Bytes kEnter = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E};
const Bytes kQuery = {0x1F, 0x28, 0x65, 0x40, 0x30};
const Bytes kWriteCommand = {0x1F, 0x28, 0x65, 0x32};
const Bytes kExit = {0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54};
const Bytes kEnterOk = {0x28, 0x65, 0x01, 0x00};
const Bytes kConfirmOk = {0x28, 0x65, 0x32, 0x00};
const std::string kGoodType = "CU20029T307A01 ";
const std::string kDefaultRow0 = "QV rm7700 All-in-One Point of Sale System          ";
const std::string kDefaultRow1 = " .... Thank You and Have a Nice Day ....           ";

const char kOpenFailedCaption[] = "Error.  Could not open COM port:";
const char kReadError[] = "Error. | Error reading from COM port.";
const char kWriteError[] = "Error. | Error writing to COM port.";
const char kWriteOk[] = "Startup Message write successful | Product type: CU20029T307A01 \\r\\nStartup Message write: (OK)     ";
const char kWriteFailedEmpty[] = "Startup Message write failed | Product type: \\r\\nStartup Message write: (failed) ";
const char kWriteFailedGood[] = "Startup Message write failed | Product type: CU20029T307A01 \\r\\nStartup Message write: (failed) ";
const char kFactoryOk[] = "Success. | Factory default restored.";
const char kFactoryFailed[] = "Error. | Factory default restoration failed.";

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

Scene g_scene;

Scene& NewScene(const std::string& portName = "COM3") {
  g_scene = Scene();
  SimReset();
  g_scene.dialog = SimResetDialog();
  g_scene.port = SimAddPort(portName);
  g_scene.module = SimAttachModule(g_scene.port);
  g_scene.originalDcb = g_scene.port->dcb;
  g_scene.dialog->portText = SimUtf16(portName);
  g_scene.dialog->rowText[0] = u"Hello";
  g_scene.dialog->rowText[1] = u"World";
  g_scene.dialog->speedSelection = 3;
  g_scene.dialog->onBox = [](const SimBox&) {
    g_scene.openHandlesAtBox.push_back(SimOpenHandleCount());
    g_scene.eventsAtBox.push_back(SimEvents().size());
    g_scene.writesAtBox.push_back(g_scene.port->writes.size());
  };
  return g_scene;
}

void Press(Scene& scene, WriteAction action) {
  scene.result = RunWriteSequence(SimFrontEnd(), action);
}

std::string Hex(const Bytes& bytes) {
  std::string out;
  char piece[4];
  for (BYTE b : bytes) {
    std::snprintf(piece, sizeof piece, out.empty() ? "%02X" : " %02X", b);
    out += piece;
  }
  return out;
}

// UTF-16 text as readable ASCII: CR and LF spelled out, others as \uXXXX.
std::string Readable(const std::u16string& text) {
  std::string out;
  char piece[8];
  for (char16_t c : text) {
    if (c == u'\r') out += "\\r";
    else if (c == u'\n') out += "\\n";
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else {
      std::snprintf(piece, sizeof piece, "\\u%04X", static_cast<unsigned>(c));
      out += piece;
    }
  }
  return out;
}

std::vector<std::string> Boxes(const Scene& scene) {
  std::vector<std::string> out;
  for (const SimBox& box : scene.dialog->boxes) out.push_back(Readable(box.caption) + " | " + Readable(box.text));
  return out;
}

std::string Describe(const SimEvent& e) {
  if (e.kind == "sleep") return "sleep " + std::to_string(e.value);
  if (e.kind == "read") return e.ok ? ("read " + Hex(e.bytes)) : "read-failed";
  if (e.kind == "write" && !e.ok) return "write-failed";
  if (e.kind == "write" && e.bytes.size() < e.value) return "write-short " + Hex(e.bytes);
  if (e.kind == "write") return "write " + Hex(e.bytes);
  return e.ok || e.kind == "open-failed" ? e.kind : e.kind + "-failed";
}

// Every platform call of the run in order, with a marker where each box came.
std::vector<std::string> Transcript(const Scene& scene) {
  std::vector<std::string> out;
  const std::vector<SimEvent>& events = SimEvents();
  size_t box = 0;
  for (size_t i = 0; i <= events.size(); ++i) {
    for (; box < scene.eventsAtBox.size() && scene.eventsAtBox[box] == i; ++box)
      out.push_back("box " + Readable(scene.dialog->boxes[box].caption));
    if (i < events.size()) out.push_back(Describe(events[i]));
  }
  for (std::string& line : out)
    while (!line.empty() && line.back() == ' ') line.pop_back();
  return out;
}

void Append(std::vector<std::string>* to, const std::vector<std::string>& more) {
  to->insert(to->end(), more.begin(), more.end());
}

Bytes Row(BYTE speed, const std::string& text) {
  Bytes row(64, 0);
  row[0] = speed;
  for (size_t i = 0; i < text.size() && i < 63; ++i) row[1 + i] = static_cast<BYTE>(text[i]);
  return row;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes ProductReply(const std::string& type) {
  Bytes reply = {0x28, 0x65, 0x40};
  reply.insert(reply.end(), type.begin(), type.end());
  return reply;
}

// A successful exchange with a module that answers 20 ms after each command:
// every reply is still on its way at the first poll and there at the second.
std::vector<std::string> SuccessfulTranscript(const Bytes& row0, const Bytes& row1, const std::string& box) {
  std::vector<std::string> t = {"open", "get-state", "set-state", "set-timeouts"};
  Append(&t, {"read", "read", "write " + Hex(kEnter), "read", "sleep 100", "read " + Hex(kEnterOk)});
  Append(&t, {"sleep 10", "read", "read", "write " + Hex(kQuery), "read", "sleep 100",
              "read " + Hex(ProductReply(kGoodType))});
  Append(&t, {"sleep 10", "read", "read", "write " + Hex(kWriteCommand), "sleep 50"});
  Append(&t, {"write " + Hex(row0), "write " + Hex(row1), "sleep 100", "read " + Hex(kConfirmOk)});
  Append(&t, {"sleep 10", "read", "read", "write " + Hex(kExit)});
  Append(&t, {"box " + box, "sleep 50", "set-state", "close"});
  return t;
}

uint64_t SleptMs() {
  uint64_t total = 0;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "sleep") total += e.value;
  return total;
}

int WritesOfSize(DWORD size) {
  int n = 0;
  for (const SimEvent& e : SimEvents())
    if (e.kind == "write" && e.value == size) n++;
  return n;
}

bool SameDcb(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof(DCB)) == 0; }

// Holds on every path: the saved line settings are back and the port is closed.
void ExpectPortLeftAsFound(const Scene& scene) {
  EXPECT_TRUE(SameDcb(scene.port->dcb, scene.originalDcb)) << "line settings not restored";
  EXPECT_EQ(SimOpenHandleCount(), 0);
}

// --- complete wire transcripts -----------------------------------------

TEST(WriteSequenceTranscript, WriteSendsTheRecordBuiltFromTheFields) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"Welcome";
  s.dialog->rowText[1] = u"Open 9-5 ~\x7F";
  Press(s, WRITE_ACTION_WRITE);

  Bytes row0 = Row(0x13, "Welcome");
  Bytes row1 = Row(0x13, "Open 9-5 ~\x7F");
  EXPECT_EQ(Transcript(s), SuccessfulTranscript(row0, row1, "Startup Message write successful"));
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteOk});
  EXPECT_EQ(SimStoredRecord(s.module), Concat(row0, row1));
  EXPECT_EQ(s.result.outcome, WRITE_STORED);
  EXPECT_EQ(Bytes(s.result.record.bytes, s.result.record.bytes + 128), Concat(row0, row1));
  EXPECT_FALSE(s.module->device.setupMode);
  EXPECT_EQ(SimNow(), SleptMs()) << "time passed outside the sequence's own waits";
  EXPECT_EQ(SimNow(), 100u + 10 + 100 + 10 + 50 + 100 + 10 + 50);
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequenceTranscript, FactoryDefaultSendsTheFactoryRecord) {
  Scene& s = NewScene();
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);

  Bytes row0 = Row(0x13, kDefaultRow0);
  Bytes row1 = Row(0x13, kDefaultRow1);
  EXPECT_EQ(Transcript(s), SuccessfulTranscript(row0, row1, "Success."));
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kFactoryOk});
  EXPECT_EQ(SimStoredRecord(s.module), Concat(row0, row1));
  EXPECT_EQ(SimNow(), SleptMs());
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequenceTranscript, SettingsDuringTheExchangeAreTheWriteProfileAndTimeouts) {
  Scene& s = NewScene();
  DCB duringBox = {};
  s.dialog->onBox = [&duringBox](const SimBox&) { duringBox = g_scene.port->dcb; };
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

// --- the failure table -------------------------------------------------

struct FailureCase {
  const char* name;
  WriteAction action;
  void (*arrange)(Scene&);
  std::vector<std::string> boxes;  // "caption | text", in order
  bool exitSent;
  bool portOpenDuringLastBox;
  WriteOutcome outcome;
};

const FailureCase kFailureCases[] = {
    {"port missing", WRITE_ACTION_WRITE, [](Scene& s) { s.port->exists = false; },
     {std::string(kOpenFailedCaption) + " | COM3"}, false, false, WRITE_OPEN_FAILED},
    {"port held by another program", WRITE_ACTION_FACTORY_DEFAULT, [](Scene& s) { s.port->busy = true; },
     {std::string(kOpenFailedCaption) + " | COM3"}, false, false, WRITE_OPEN_FAILED},
    {"GetCommState fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failGetCommState = 1; },
     {"Error. | GetCommState() returned error."}, false, false, WRITE_OPEN_FAILED},
    {"SetCommState fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failSetCommState = 1; },
     {"Error. | SetCommState() returned error."}, false, false, WRITE_OPEN_FAILED},
    {"SetCommTimeouts fails", WRITE_ACTION_WRITE, [](Scene& s) { s.port->failSetCommTimeouts = 1; },
     {"Error. | SetCommTimeouts() returned error."}, false, false, WRITE_OPEN_FAILED},
    {"silent display", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "mode silent"); },
     {kWriteFailedEmpty}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply with a bad status", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-enter 28 65 01 01"); }, {kWriteFailedEmpty}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply with an extra byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode extra-byte 00 0"); }, {kWriteFailedEmpty}, true, true, WRITE_NOT_CONFIRMED},
    {"enter reply one byte short", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "mode bad-enter 28 65 01"); }, {kFactoryFailed}, true, true, WRITE_NOT_CONFIRMED},
    {"product type reply with an extra byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A01 !\""); },
     {kWriteFailedEmpty}, true, true, WRITE_NOT_CONFIRMED},
    {"product type reply with a wrong function byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-query"); },
     {kWriteFailedEmpty}, true, true, WRITE_NOT_CONFIRMED},
    {"wrong product type", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A02 \""); },
     {"Error: Incompatible VFD module | Product type: CU20029T307A02 \\r\\n\\r\\n\\r\\nVFD Module must be "
      "CU20029-T307A-01 ",
      "Startup Message write failed | Product type: CU20029T307A02 \\r\\nStartup Message write: (failed) "},
     true, true, WRITE_INCOMPATIBLE},
    {"wrong product type, factory default", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "product-type \"cu20029t307a01 \""); },
     {"Error: Incompatible VFD module | Product type: cu20029t307a01 \\r\\n\\r\\n\\r\\nVFD Module must be "
      "CU20029-T307A-01 ",
      kFactoryFailed},
     true, true, WRITE_INCOMPATIBLE},
    {"product type with a zero byte", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A01\\0\""); },
     {"Error: Incompatible VFD module | Product type: CU20029T307A01\\r\\n\\r\\n\\r\\nVFD Module must be "
      "CU20029-T307A-01 ",
      "Startup Message write failed | Product type: CU20029T307A01\\r\\nStartup Message write: (failed) "},
     true, true, WRITE_INCOMPATIBLE},
    {"confirmation with a bad status", WRITE_ACTION_WRITE,
     [](Scene& s) { SimControl(s.module, "mode bad-confirm 28 65 32 01"); }, {kWriteFailedGood}, true, true, WRITE_NOT_CONFIRMED},
    {"confirmation missing", WRITE_ACTION_WRITE, [](Scene& s) { SimControl(s.module, "mode no-confirm"); },
     {kWriteFailedGood}, true, true, WRITE_NOT_CONFIRMED},
    {"confirmation missing, factory default", WRITE_ACTION_FACTORY_DEFAULT,
     [](Scene& s) { SimControl(s.module, "mode no-confirm"); }, {kFactoryFailed}, true, true, WRITE_NOT_CONFIRMED},
};

TEST(WriteSequenceFailures, EachEndsWithItsBoxesAndThePortLeftAsFound) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    c.arrange(s);
    Press(s, c.action);
    EXPECT_EQ(Boxes(s), c.boxes);
    EXPECT_EQ(s.result.outcome, c.outcome);
    EXPECT_EQ(SimCommandCount(s.module, "exit"), c.exitSent ? 1 : 0);
    EXPECT_EQ(WritesOfSize(7), c.exitSent ? 1 : 0);
    ASSERT_FALSE(s.openHandlesAtBox.empty());
    EXPECT_EQ(s.openHandlesAtBox.back(), c.portOpenDuringLastBox ? 1 : 0);
    EXPECT_FALSE(s.module->device.setupMode);
    ExpectPortLeftAsFound(s);
  }
}

// Nothing but the failed call and the close: no settings are written back
// when the port's settings were never changed.
TEST(WriteSequenceFailures, OpeningFailuresTouchNothingMore) {
  struct Case {
    const char* name;
    void (*arrange)(Scene&);
    std::vector<std::string> calls;
  } cases[] = {
      {"open", [](Scene& s) { s.port->exists = false; }, {"open-failed", "box Error.  Could not open COM port:"}},
      {"GetCommState", [](Scene& s) { s.port->failGetCommState = 1; },
       {"open", "get-state-failed", "close", "box Error."}},
      {"SetCommState", [](Scene& s) { s.port->failSetCommState = 1; },
       {"open", "get-state", "set-state-failed", "close", "box Error."}},
      // The write profile is already on the port here; it is put back before
      // the port is closed.
      {"SetCommTimeouts", [](Scene& s) { s.port->failSetCommTimeouts = 1; },
       {"open", "get-state", "set-state", "set-timeouts-failed", "set-state", "close", "box Error."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    c.arrange(s);
    Press(s, WRITE_ACTION_WRITE);
    EXPECT_EQ(Transcript(s), c.calls);
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
    if (e.kind == "write" && e.bytes == kEnter) enterAt = e.timeMs;
    if (e.kind == "write" && e.bytes == kExit) exitAt = e.timeMs;
    if (e.kind == "sleep" && e.value == 100) polls++;
  }
  EXPECT_EQ(exitAt - enterAt, 5000u);
  EXPECT_EQ(polls, 50);
  EXPECT_EQ(SimCommandCount(s.module, "query"), 0);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteFailedEmpty});
}

TEST(WriteSequenceFailures, WrongProductTypeSendsNoRecord) {
  Scene& s = NewScene();
  SimControl(s.module, "product-type \"CU20029T307A02 \"");
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(SimCommandCount(s.module, "write"), 0);
  EXPECT_EQ(WritesOfSize(4) + WritesOfSize(64), 0);
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

const IoFault kIoFaults[] = {
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
  for (const IoFault& f : kIoFaults) {
    for (WriteAction action : {WRITE_ACTION_WRITE, WRITE_ACTION_FACTORY_DEFAULT}) {
      SCOPED_TRACE(std::string(f.step) + (action == WRITE_ACTION_WRITE ? " (write)" : " (factory)"));
      Scene& s = NewScene();
      s.port->failRead = f.readAt;
      s.port->failWrite = f.writeAt;
      s.port->shortWriteAt = f.shortWriteAt;
      Press(s, action);
      EXPECT_EQ(Boxes(s), std::vector<std::string>{f.readAt ? kReadError : kWriteError});
      EXPECT_EQ(s.result.outcome, WRITE_IO_ERROR);
      EXPECT_EQ(CompleteWrites(), f.completeWritesBefore);
      EXPECT_EQ(WritesOfSize(7), f.exitAttempted ? 1 : 0);
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
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteError});
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

  EXPECT_EQ(Boxes(s), (std::vector<std::string>{"COM port name truncated to: | COM1234567890ABC", kWriteOk}));
  EXPECT_EQ(s.openHandlesAtBox.front(), 0) << "the cut is shown before the port is opened";
  EXPECT_EQ(s.dialog->portText, u"COM1234567890ABC");
  EXPECT_EQ(DevicePath(s), "\\\\.\\COM1234567890ABC");
  EXPECT_EQ(s.module->recordsStored, 1);
  ExpectPortLeftAsFound(s);
}

TEST(WriteSequencePortName, SixteenCharactersAreUsedWhole) {
  Scene& s = NewScene("COM1234567890ABC");
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteOk});
  EXPECT_EQ(s.dialog->portTextSets, 0);
}

TEST(WriteSequencePortName, EmptyFieldFailsToOpenWithAnEmptyText) {
  Scene& s = NewScene();
  s.dialog->portText = u"";
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{std::string(kOpenFailedCaption) + " | "});
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
  EXPECT_EQ(Boxes(s).back(), kWriteOk);
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

  EXPECT_EQ(Boxes(s), (std::vector<std::string>{
                          "Invalid character(s) in Row 0. | Row 0 truncated to:          \\r\\n\\r\\nabc\\r\\n",
                          kWriteOk}));
  // Shown after the write command went out and before the record did.
  EXPECT_EQ(s.writesAtBox.front(), 3u);
  EXPECT_EQ(s.port->writes[2], kWriteCommand);
  EXPECT_EQ(s.openHandlesAtBox.front(), 1);
  EXPECT_EQ(s.dialog->rowText[0], u"abc");
  EXPECT_EQ(s.dialog->rowTextSets[1], 0);
  EXPECT_EQ(SimStoredRecord(s.module), Concat(Row(0x13, "abc"), Row(0x13, "World")));
}

TEST(WriteSequenceRows, BothRowsCutShowTwoBoxesInRowOrder) {
  Scene& s = NewScene();
  s.dialog->rowText[0] = u"\tTab first";
  s.dialog->rowText[1] = u"Kept part\n and this is dropped";
  Press(s, WRITE_ACTION_WRITE);

  EXPECT_EQ(Boxes(s),
            (std::vector<std::string>{
                "Invalid character(s) in Row 0. | Row 0 truncated to:          \\r\\n\\r\\n\\r\\n",
                "Invalid character(s) in Row 1. | Row 1 truncated to:          \\r\\n\\r\\nKept part\\r\\n",
                kWriteOk}));
  EXPECT_EQ(s.dialog->rowText[0], u"");
  EXPECT_EQ(s.dialog->rowText[1], u"Kept part");
  EXPECT_EQ(SimStoredRecord(s.module), Concat(Row(0x13, ""), Row(0x13, "Kept part")));
}

TEST(WriteSequenceRows, RecordRowsFollowTheFieldsAndTheSpeed) {
  struct Case {
    const char* name;
    int speed;
    std::u16string row0, row1;
    Bytes record;
  } cases[] = {
      {"empty row 1", 3, u"Top", u"", Concat(Row(0x13, "Top"), Row(0x13, ""))},
      {"no speed selected", -1, u"A", u"B", Concat(Row(0x12, "A"), Row(0x12, "B"))},
      {"fastest", 0, u"A", u"B", Concat(Row(0x10, "A"), Row(0x10, "B"))},
      {"slowest", 5, u"A", u"B", Concat(Row(0x15, "A"), Row(0x15, "B"))},
      {"63 characters fill the row", 3, std::u16string(63, u'x'), u"B",
       Concat(Row(0x13, std::string(63, 'x')), Row(0x13, "B"))},
      // The field never holds more than 63; should it, the rest is dropped
      // without a box.
      {"70 characters", 3, std::u16string(70, u'y'), u"B", Concat(Row(0x13, std::string(63, 'y')), Row(0x13, "B"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene& s = NewScene();
    s.dialog->speedSelection = c.speed;
    s.dialog->rowText[0] = c.row0;
    s.dialog->rowText[1] = c.row1;
    Press(s, WRITE_ACTION_WRITE);
    EXPECT_EQ(Hex(SimStoredRecord(s.module)), Hex(c.record));
    EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteOk});
    EXPECT_EQ(s.dialog->rowTextSets[0] + s.dialog->rowTextSets[1], 0);
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
    if (written == kQuery) SimQueueBytes(port, 105, Bytes(18, 0x00));
  };
  Press(s, WRITE_ACTION_WRITE);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{kWriteOk});
}

// --- factory default ---------------------------------------------------

TEST(WriteSequenceFactoryDefault, FieldsAreResetEvenWhenThePortCannotBeOpened) {
  Scene& s = NewScene();
  s.port->exists = false;
  s.dialog->rowText[0] = u"x";
  s.dialog->rowText[1] = u"y";
  s.dialog->speedSelection = -1;
  Press(s, WRITE_ACTION_FACTORY_DEFAULT);

  EXPECT_EQ(s.dialog->rowText[0], SimUtf16(kDefaultRow0));
  EXPECT_EQ(s.dialog->rowText[1], SimUtf16(kDefaultRow1));
  EXPECT_EQ(s.dialog->speedSelection, 3);
  EXPECT_EQ(Boxes(s), std::vector<std::string>{std::string(kOpenFailedCaption) + " | COM3"});
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
  EXPECT_EQ(first, Concat(Row(0x13, kDefaultRow0), Row(0x13, kDefaultRow1)));
  EXPECT_EQ(SimStoredRecord(s.module), first);
  EXPECT_EQ(Boxes(s), (std::vector<std::string>{kFactoryOk, kFactoryOk}));
  EXPECT_EQ(s.dialog->speedSelection, 3);
}

// --- a close request while a sequence runs ------------------------------

// What the dialog's close does, as far as the sequence can tell: its front
// end is gone. Had the close run at once, the sequence would go on with it.
struct CloseRecord {
  int calls = 0;
  size_t eventsAtClose = 0;
  int openHandlesAtClose = -1;
  int exitsAtClose = -1;
};

void CloseTheDialog(void* context) {
  CloseRecord* record = static_cast<CloseRecord*>(context);
  record->calls++;
  record->eventsAtClose = SimEvents().size();
  record->openHandlesAtClose = SimOpenHandleCount();
  record->exitsAtClose = WritesOfSize(7);
  SimFrontEnd()->dialog = nullptr;
}

TEST(WriteSequenceClose, ACloseDuringAnyBoxWaitsForTheEndOfTheSequence) {
  struct Case {
    const char* box;  // the caption of the box during which the close comes
    void (*arrange)(Scene&);
    int exitsSent;
  };
  const Case cases[] = {
      {"COM port name truncated to:", [](Scene& s) { s.dialog->portText += u"XYZ"; }, 1},
      {"Invalid character(s) in Row 0.", [](Scene& s) { s.dialog->rowText[0] = u"ab\tc"; }, 1},
      {"Invalid character(s) in Row 1.", [](Scene& s) { s.dialog->rowText[1] = u"\u00E9"; }, 1},
      {"Error: Incompatible VFD module", [](Scene& s) { SimControl(s.module, "product-type \"CU20029T307A02 \""); }, 1},
      {"Startup Message write successful", [](Scene&) {}, 1},
      {"Error.", [](Scene& s) { s.port->failRead = 3; }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box);
    Scene& s = NewScene("COM3456789012345");
    c.arrange(s);
    CloseRecord closed;
    s.dialog->onBox = [&](const SimBox& box) {
      s.eventsAtBox.push_back(SimEvents().size());
      if (Readable(box.caption) == c.box) RequestClose(CloseTheDialog, &closed);
      EXPECT_EQ(closed.calls, 0) << "closed while a box was up";
    };
    WriteResult result = RunGuardedWriteSequence(SimFrontEnd(), WRITE_ACTION_WRITE);
    SimFrontEnd()->dialog = SimGetDialog();

    EXPECT_NE(result.outcome, WRITE_NOTHING_RUN);
    EXPECT_EQ(closed.calls, 1);
    EXPECT_EQ(closed.eventsAtClose, SimEvents().size()) << "the sequence went on after the close";
    EXPECT_EQ(closed.openHandlesAtClose, 0);
    EXPECT_EQ(closed.exitsAtClose, c.exitsSent);
    // A failed read ends the exchange on the spot, without the exit command.
    EXPECT_EQ(s.module->device.setupMode, c.exitsSent == 0);
    ExpectPortLeftAsFound(s);
  }
}

TEST(WriteSequenceClose, ACloseOutsideASequenceClosesAtOnce) {
  CloseRecord closed;
  RequestClose(CloseTheDialog, &closed);
  SimFrontEnd()->dialog = SimGetDialog();
  EXPECT_EQ(closed.calls, 1);
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

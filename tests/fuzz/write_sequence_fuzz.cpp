// RunWriteSequence against any module: any reply bytes in any split and at
// any delay, or any raw stream of read results; a failure at any platform
// call; either action; any port name and row texts. The recorded platform
// calls are walked against the sequence step by step (a model written from
// the module's documentation, not from the program), and the boxes the
// operator saw, the fields, the port's settings and handle, and the virtual
// time are checked afterwards.
//
// Input, front to back:
//   flags: bit 0 factory default, bit 1 raw read stream (else a module),
//          bit 2 CTS down, bit 3 no such port, bit 4 port busy,
//          bits 5-6 port text: 0 "COM3", 1 "COM3" + units, 2 any units, 3 empty,
//          bit 7 no DialogState (its allocation failed at start)
//   [port text units: count byte (% 40), then little-endian units]
//   fault mask, then one byte per set bit: GetCommState, SetCommState,
//          SetCommTimeouts, read, write, short write
//   speed (% 7 - 1), row 0 and row 1 (count byte, 0xFF: the factory text,
//          else count % 100 little-endian units)
//   a module's faults (see TakeModuleFaults), or with a raw stream, the read
//          results (see ReadStream) to the end.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_dialog.h"
#include "writing/write_sequence.h"

namespace {

const std::u16string kDefaultRow[2] = {
    u"QV rm7700 All-in-One Point of Sale System          ",
    u" .... Thank You and Have a Nice Day ....           ",
};
const std::u16string kCaptionError = u"Error.";
const std::u16string kCaptionOpenFailed = u"Error.  Could not open COM port:";
const std::u16string kCaptionPortCut = u"COM port name truncated to:";
const std::u16string kCaptionIncompatible = u"Error: Incompatible VFD module";
const std::u16string kCaptionWriteOk = u"Startup Message write successful";
const std::u16string kCaptionWriteFailed = u"Startup Message write failed";
const std::u16string kCaptionFactoryOk = u"Success.";

struct ExpectedBox {
  std::u16string caption;
  std::u16string text;
  size_t atEvent;  // how many platform calls came before it
};

struct Scene {
  bool withoutState;
  WriteAction action;
  bool rawStream;
  std::u16string portText;
  std::u16string usedName;  // what the sequence must open
  std::u16string rowText[2];
  int speed;
  SimPort* port;            // exists == false: there is no such port
  DCB originalDcb;
  SimDialog* dialog;
  std::vector<size_t> eventsAtBox;
};

Scene g_scene;

// How a stretch of the exchange ended, in the model.
enum Stretch { GOES_ON, LEAVES, READ_ERROR, WRITE_ERROR };

struct Model {
  TranscriptWalk walk;
  std::vector<ExpectedBox> boxes;
  std::u16string productType;
  bool confirmed;
  bool exitAttempted;
  std::u16string rowField[2];
};

// --- building the scene from the input ---------------------------------

std::u16string TakePortText(ByteFeed* feed, int kind) {
  if (kind == 3) return u"";
  std::u16string text = kind == 2 ? u"" : u"COM3";
  if (kind != 0) text += TakeUnits(feed, TakeByte(feed) % 40);
  for (char16_t& unit : text)
    if (unit == 0) unit = u'0';  // an edit field holds no zero units
  return text;
}

void TakeFaults(ByteFeed* feed, SimPort* port) {
  uint8_t mask = TakeByte(feed);
  if (mask & 0x01) port->failGetCommState = TakeByte(feed) % 2 + 1;
  if (mask & 0x02) port->failSetCommState = TakeByte(feed) % 3 + 1;
  if (mask & 0x04) port->failSetCommTimeouts = TakeByte(feed) % 2 + 1;
  if (mask & 0x08) port->failRead = TakeByte(feed) % 64 + 1;
  if (mask & 0x10) port->failWrite = TakeByte(feed) % 8 + 1;
  if (mask & 0x20) port->shortWriteAt = TakeByte(feed) % 8 + 1;
}

std::u16string TakeRowText(ByteFeed* feed, int row) {
  uint8_t count = TakeByte(feed);
  if (count == 0xFF) return kDefaultRow[row];
  return TakeUnits(feed, count % 100);
}

void OnBox(const SimBox&) { g_scene.eventsAtBox.push_back(SimEvents().size()); }

void BuildScene(ByteFeed* feed, ReadStream* stream) {
  g_scene = Scene();
  uint8_t flags = TakeByte(feed);
  g_scene.withoutState = (flags & 0x80) != 0;
  g_scene.action = (flags & 0x01) ? WRITE_ACTION_FACTORY_DEFAULT : WRITE_ACTION_WRITE;
  g_scene.rawStream = (flags & 0x02) != 0;
  g_scene.portText = TakePortText(feed, (flags >> 5) & 3);
  g_scene.usedName = g_scene.portText.substr(0, expected::PortNameMax);
  SimPort* port = SimAddPort(SimUtf8(g_scene.usedName.c_str()));
  if (flags & 0x04) port->modemStatus = MS_DSR_ON;
  port->busy = (flags & 0x10) != 0;
  TakeFaults(feed, port);
  g_scene.speed = static_cast<int>(TakeByte(feed) % 7) - 1;
  g_scene.rowText[0] = TakeRowText(feed, 0);
  g_scene.rowText[1] = TakeRowText(feed, 1);
  if (g_scene.rawStream) FeedPortReads(port, stream);
  else TakeModuleFaults(feed, SimAttachModule(port));
  // A missing port is removed only now, so the input is read the same way.
  port->exists = (flags & 0x08) == 0;
  g_scene.port = port;
  g_scene.originalDcb = port->dcb;

  g_scene.dialog = SimResetDialog();
  g_scene.dialog->portText = g_scene.portText;
  g_scene.dialog->rowText[0] = g_scene.rowText[0];
  g_scene.dialog->rowText[1] = g_scene.rowText[1];
  g_scene.dialog->speedSelection = g_scene.speed;
  g_scene.dialog->onBox = OnBox;
}

// --- the model of one press --------------------------------------------

void ExpectBox(Model* model, const std::u16string& caption, const std::u16string& text) {
  model->boxes.push_back({caption, text, model->walk.next});
}

std::u16string Formatted(const std::u16string& before, const std::u16string& argument,
                         const std::u16string& after) {
  return before + argument + after;
}

// Steps 1 to 5. False when the sequence ends here.
bool WalkOpening(Model* model) {
  std::string path = "\\\\.\\" + SimUtf8(g_scene.usedName.c_str());
  if (PeekEvent(&model->walk).kind == "open-failed") {
    const SimEvent& e = TakeEvent(&model->walk, "open-failed");
    FUZZ_CHECK(e.port == path, "opened " + e.port + " instead of " + path);
    ExpectBox(model, kCaptionOpenFailed, g_scene.usedName);
    return false;
  }
  FUZZ_CHECK(TakeEvent(&model->walk, "open").port == path, "opened the wrong port");
  std::u16string failure;
  if (!TakeEvent(&model->walk, "get-state").ok) {
    failure = u"GetCommState() returned error.";
  } else if (!TakeEvent(&model->walk, "set-state").ok) {
    failure = u"SetCommState() returned error.";
  } else if (!TakeEvent(&model->walk, "set-timeouts").ok) {
    // The write profile is already in force: it is taken back as well.
    TakeEvent(&model->walk, "set-state");
    failure = u"SetCommTimeouts() returned error.";
  }
  if (failure.empty()) {
    model->walk.writeTimeoutConstantMs = 5000;
    return true;
  }
  TakeEvent(&model->walk, "close");
  ExpectBox(model, kCaptionError, failure);
  return false;
}

Stretch DrainWriteReply(Model* model, const Bytes& command, DWORD minimum, Bytes* reply) {
  if (!WalkDrain(&model->walk)) return READ_ERROR;
  if (!WalkWrite(&model->walk, command)) return WRITE_ERROR;
  if (!WalkReply(&model->walk, minimum, reply)) return READ_ERROR;
  return GOES_ON;
}

Stretch WalkEnter(Model* model) {
  Bytes reply;
  Stretch result = DrainWriteReply(model, kEnterCommand, 4, &reply);
  if (result != GOES_ON) return result;
  return reply == kEnterAccepted ? GOES_ON : LEAVES;
}

Stretch WalkProductType(Model* model) {
  WalkSleep(&model->walk, 10);
  Bytes reply;
  Stretch result = DrainWriteReply(model, kQueryCommand, 18, &reply);
  if (result != GOES_ON) return result;
  if (reply.size() != 18 || reply[0] != 0x28 || reply[1] != 0x65 || reply[2] != 0x40) return LEAVES;
  for (size_t i = 3; i < 18 && reply[i] != 0; ++i) model->productType += reply[i];
  bool accepted = std::equal(reply.begin() + 3, reply.end(), kAcceptedType.begin());
  WalkSleep(&model->walk, 10);
  if (!WalkDrain(&model->walk)) return READ_ERROR;
  if (accepted) return GOES_ON;
  ExpectBox(model, kCaptionIncompatible,
            Formatted(u"Product type: ", model->productType,
                      u"\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 "));
  return LEAVES;
}

// The 64 bytes of one row from its field, with the box when it is cut.
Bytes ModelRow(Model* model, int row, BYTE speed) {
  std::u16string considered = TextUpToZero(g_scene.rowText[row].substr(0, 63).c_str());
  size_t kept = 0;
  while (kept < considered.size() && considered[kept] >= 0x20 && considered[kept] <= 0x7F) ++kept;
  Bytes bytes(64, 0);
  bytes[0] = speed;
  for (size_t i = 0; i < kept; ++i) bytes[1 + i] = static_cast<BYTE>(considered[i]);
  if (kept < considered.size()) {
    std::u16string keptText = considered.substr(0, kept);
    model->rowField[row] = keptText;
    std::u16string header = row == 0 ? u"Row 0 truncated to:          \r\n\r\n"
                                     : u"Row 1 truncated to:          \r\n\r\n";
    ExpectBox(model, row == 0 ? u"Invalid character(s) in Row 0." : u"Invalid character(s) in Row 1.",
              Formatted(header, keptText, u"\r\n"));
  }
  return bytes;
}

Bytes FactoryRow(const std::u16string& text) {
  Bytes bytes(64, 0);
  bytes[0] = 0x13;
  for (size_t i = 0; i < text.size(); ++i) bytes[1 + i] = static_cast<BYTE>(text[i]);
  return bytes;
}

Stretch WalkRecord(Model* model) {
  if (!WalkWrite(&model->walk, kWriteCommand)) return WRITE_ERROR;
  WalkSleep(&model->walk, 50);
  Bytes rows[2];
  if (g_scene.action == WRITE_ACTION_FACTORY_DEFAULT) {
    rows[0] = FactoryRow(kDefaultRow[0]);
    rows[1] = FactoryRow(kDefaultRow[1]);
  } else {
    BYTE speed = g_scene.speed < 0 ? 0x12 : static_cast<BYTE>(0x10 + g_scene.speed);
    rows[0] = ModelRow(model, 0, speed);
    rows[1] = ModelRow(model, 1, speed);
  }
  if (!WalkWrite(&model->walk, rows[0])) return WRITE_ERROR;
  if (!WalkWrite(&model->walk, rows[1])) return WRITE_ERROR;
  WalkSleep(&model->walk, 100);
  Bytes reply;
  if (!WalkReply(&model->walk, 4, &reply)) return READ_ERROR;
  model->confirmed = reply == kWriteConfirmed;
  WalkSleep(&model->walk, 10);
  return WalkDrain(&model->walk) ? GOES_ON : READ_ERROR;
}

// Steps 6 to 25: an I/O error ends the exchange where it happens; a wrong
// answer still takes the module out of set-up mode.
Stretch WalkExchange(Model* model) {
  Stretch result = WalkEnter(model);
  if (result == GOES_ON) result = WalkProductType(model);
  if (result == GOES_ON) result = WalkRecord(model);
  if (result == READ_ERROR || result == WRITE_ERROR) return result;
  model->exitAttempted = true;
  return WalkWrite(&model->walk, kExitCommand) ? GOES_ON : WRITE_ERROR;
}

void WalkFinish(Model* model, Stretch result) {
  bool factory = g_scene.action == WRITE_ACTION_FACTORY_DEFAULT;
  if (result == READ_ERROR) ExpectBox(model, kCaptionError, u"Error reading from COM port.");
  else if (result == WRITE_ERROR) ExpectBox(model, kCaptionError, u"Error writing to COM port.");
  else if (factory && model->confirmed) ExpectBox(model, kCaptionFactoryOk, u"Factory default restored.");
  else if (factory) ExpectBox(model, kCaptionError, u"Factory default restoration failed.");
  else if (model->confirmed)
    ExpectBox(model, kCaptionWriteOk, Formatted(u"Product type: ", model->productType,
                                                u"\r\nStartup Message write: (OK)     "));
  else
    ExpectBox(model, kCaptionWriteFailed, Formatted(u"Product type: ", model->productType,
                                                    u"\r\nStartup Message write: (failed) "));
  WalkSleep(&model->walk, 50);
  TakeEvent(&model->walk, "set-state");
  TakeEvent(&model->walk, "close");
}

Model WalkPress() {
  Model model = {};
  model.walk = BeginWalk(0, 0);
  model.rowField[0] = g_scene.rowText[0];
  model.rowField[1] = g_scene.rowText[1];
  if (g_scene.action == WRITE_ACTION_FACTORY_DEFAULT) {
    model.rowField[0] = kDefaultRow[0];
    model.rowField[1] = kDefaultRow[1];
  }
  if (g_scene.portText.size() > expected::PortNameMax) ExpectBox(&model, kCaptionPortCut, g_scene.usedName);
  if (WalkOpening(&model)) WalkFinish(&model, WalkExchange(&model));
  FUZZ_CHECK(IsWalkAtEnd(&model.walk), "platform calls after the sequence should have ended, at #" +
                                           std::to_string(model.walk.next));
  return model;
}

// --- what must hold after every press ----------------------------------

void CheckBoxes(const Model& model) {
  const std::vector<SimBox>& shown = g_scene.dialog->boxes;
  FUZZ_CHECK(shown.size() == model.boxes.size(), std::to_string(shown.size()) + " boxes instead of " +
                                                     std::to_string(model.boxes.size()));
  for (size_t i = 0; i < shown.size(); ++i) {
    std::string which = "box " + std::to_string(i) + " (" + SimUtf8(shown[i].caption.c_str()) + ")";
    FUZZ_CHECK(shown[i].caption == model.boxes[i].caption, which + ": wrong caption");
    FUZZ_CHECK(shown[i].text == model.boxes[i].text, which + ": wrong text");
    FUZZ_CHECK(g_scene.eventsAtBox[i] == model.boxes[i].atEvent, which + ": shown at the wrong moment");
  }
  // Exactly one outcome or error box, and it is the last.
  int outcomes = 0;
  for (const SimBox& box : shown) {
    bool outcome = box.caption == kCaptionError || box.caption == kCaptionOpenFailed ||
                   box.caption == kCaptionWriteOk || box.caption == kCaptionWriteFailed ||
                   box.caption == kCaptionFactoryOk;
    outcomes += outcome ? 1 : 0;
    FUZZ_CHECK(!outcome || &box == &shown.back(), "an outcome box that is not the last");
  }
  FUZZ_CHECK(outcomes == 1, std::to_string(outcomes) + " outcome boxes");
  bool claimsSuccess = shown.back().caption == kCaptionWriteOk || shown.back().caption == kCaptionFactoryOk;
  FUZZ_CHECK(!claimsSuccess || model.confirmed, "success shown without 28 65 32 00 from the module");
}

// The saved line settings go back whenever the sequence changed them.
void CheckPortLeftAsFound() {
  FUZZ_CHECK(SimOpenHandleCount() == 0 && !g_scene.port->open, "the port was left open");
  const std::vector<DCB>& sets = g_scene.port->dcbSets;
  FUZZ_CHECK(IsPutBackAfterChange(sets, g_scene.port->failSetCommState, g_scene.originalDcb, SameDcb),
             "line settings changed and not written back");
  if (sets.empty()) return;
  // The write profile: only these fields differ from what GetCommState gave.
  DCB profile = g_scene.originalDcb;
  profile.BaudRate = 38400;
  profile.ByteSize = 8;
  profile.Parity = 0;
  profile.StopBits = 0;
  profile.fParity = 0;
  profile.fOutxCtsFlow = 1;
  profile.fOutxDsrFlow = 0;
  profile.fDtrControl = 1;
  profile.fDsrSensitivity = 0;
  profile.fOutX = 0;
  profile.fInX = 0;
  profile.fRtsControl = 1;
  FUZZ_CHECK(SameDcb(sets.front(), profile),
             "the write profile is not what was applied");
  FUZZ_CHECK(g_scene.port->timeoutSets.empty() ||
                 (g_scene.port->timeoutSets.front().ReadIntervalTimeout == MAXDWORD &&
                  g_scene.port->timeoutSets.front().WriteTotalTimeoutConstant == 5000),
             "the write timeouts are not what was applied");
}

void CheckFieldsAndTime(const Model& model) {
  std::u16string portField = g_scene.portText.size() > expected::PortNameMax ? g_scene.usedName : g_scene.portText;
  FUZZ_CHECK(g_scene.dialog->portText == portField, "the port field is wrong");
  FUZZ_CHECK(g_scene.dialog->rowText[0] == model.rowField[0], "row 0 field is wrong");
  FUZZ_CHECK(g_scene.dialog->rowText[1] == model.rowField[1], "row 1 field is wrong");
  int speed = g_scene.action == WRITE_ACTION_FACTORY_DEFAULT ? 3 : g_scene.speed;
  FUZZ_CHECK(g_scene.dialog->speedSelection == speed, "the speed selection is wrong");
  // The exit command is the only 7-byte write.
  int exitWrites = 0;
  for (const SimEvent& e : SimEvents()) exitWrites += e.kind == "write" && e.value == 7 ? 1 : 0;
  FUZZ_CHECK(exitWrites == (model.exitAttempted ? 1 : 0), "exit command sent on the wrong path");
  FUZZ_CHECK(SimNow() == model.walk.clockMs, "time passed outside the sequence's waits");
  uint64_t bound = 101ull * SimCountEvents("read") + 330 + 2 * 64 + 5000;
  FUZZ_CHECK(SimNow() <= bound, "the sequence took " + std::to_string(SimNow()) + " ms");
}

void PrintRun() {
  PrintEvents();
  for (const SimBox& box : g_scene.dialog->boxes)
    std::fprintf(stderr, "box: %s | %s\n", SimUtf8(box.caption.c_str()).c_str(),
                 SimUtf8(box.text.c_str()).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SimReset();
  ByteFeed feed = MakeFeed(data, size);
  ReadStream stream = {&feed, {}};
  BuildScene(&feed, &stream);
  RunWriteSequence(g_scene.withoutState ? nullptr : SimFrontEnd(), g_scene.action);
  if (g_scene.withoutState) {
    // Without the state there is no port path: nothing may run at all.
    FUZZ_CHECK(SimEvents().empty() && g_scene.dialog->boxes.empty(), "a sequence ran without DialogState");
    SimReset();
    return 0;
  }

  if (IsVerbose()) PrintRun();
  Model model = WalkPress();
  CheckBoxes(model);
  CheckPortLeftAsFound();
  CheckFieldsAndTime(model);
  SimReset();
  SimResetDialog();
  return 0;
}

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

using expected::Format;
using expected::Wide;
namespace text = expected::text;

const std::u16string DefaultRow[2] = {Wide(expected::DefaultRow0), Wide(expected::DefaultRow1)};
const std::u16string CaptionError = Wide(text::CaptionError);
const std::u16string CaptionOpenFailed = Wide(text::CaptionOpenFailed);
const std::u16string CaptionWriteOk = Wide(text::CaptionWriteOk);
const std::u16string CaptionWriteFailed = Wide(text::CaptionWriteFailed);
const std::u16string CaptionFactoryOk = Wide(text::CaptionFactoryRestored);

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

Scene CurrentScene;

// How a stretch of the exchange ended, in the model.
enum Stretch { GOES_ON, LEAVES, READ_ERROR, WRITE_ERROR };

struct Model {
  TranscriptWalk walk;
  std::vector<ExpectedBox> boxes;
  std::string productType;  // the bytes shown, up to the first zero
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
  if (count == 0xFF) return DefaultRow[row];
  return TakeUnits(feed, count % 100);
}

void OnBox(const SimBox&) { CurrentScene.eventsAtBox.push_back(SimEvents().size()); }

void BuildScene(ByteFeed* feed, ReadStream* stream) {
  CurrentScene = Scene();
  uint8_t flags = TakeByte(feed);
  CurrentScene.withoutState = (flags & 0x80) != 0;
  CurrentScene.action = (flags & 0x01) ? WRITE_ACTION_FACTORY_DEFAULT : WRITE_ACTION_WRITE;
  CurrentScene.rawStream = (flags & 0x02) != 0;
  CurrentScene.portText = TakePortText(feed, (flags >> 5) & 3);
  CurrentScene.usedName = CurrentScene.portText.substr(0, expected::PortNameMax);
  SimPort* port = SimAddPort(SimUtf8(CurrentScene.usedName.c_str()));
  if (flags & 0x04) port->modemStatus = MS_DSR_ON;
  port->busy = (flags & 0x10) != 0;
  TakeFaults(feed, port);
  CurrentScene.speed = static_cast<int>(TakeByte(feed) % 7) - 1;
  CurrentScene.rowText[0] = TakeRowText(feed, 0);
  CurrentScene.rowText[1] = TakeRowText(feed, 1);
  if (CurrentScene.rawStream) FeedPortReads(port, stream);
  else TakeModuleFaults(feed, SimAttachModule(port));
  // A missing port is removed only now, so the input is read the same way.
  port->exists = (flags & 0x08) == 0;
  CurrentScene.port = port;
  CurrentScene.originalDcb = port->dcb;

  CurrentScene.dialog = SimResetDialog();
  CurrentScene.dialog->portText = CurrentScene.portText;
  CurrentScene.dialog->rowText[0] = CurrentScene.rowText[0];
  CurrentScene.dialog->rowText[1] = CurrentScene.rowText[1];
  CurrentScene.dialog->speedSelection = CurrentScene.speed;
  CurrentScene.dialog->onBox = OnBox;
}

// --- the model of one press --------------------------------------------

void ExpectBox(Model* model, const std::u16string& caption, const std::u16string& boxText) {
  model->boxes.push_back({caption, boxText, model->walk.next});
}

void ExpectBox(Model* model, const char* caption, const std::string& boxText) {
  ExpectBox(model, Wide(caption), Wide(boxText));
}

// Steps 1 to 5. False when the sequence ends here.
bool WalkOpening(Model* model) {
  std::string path = "\\\\.\\" + SimUtf8(CurrentScene.usedName.c_str());
  if (PeekEvent(&model->walk).kind == "open-failed") {
    const SimEvent& e = TakeEvent(&model->walk, "open-failed");
    FUZZ_CHECK(e.port == path, "opened " + e.port + " instead of " + path);
    ExpectBox(model, CaptionOpenFailed, CurrentScene.usedName);
    return false;
  }
  FUZZ_CHECK(TakeEvent(&model->walk, "open").port == path, "opened the wrong port");
  const char* failure = nullptr;
  if (!TakeEvent(&model->walk, "get-state").ok) {
    failure = text::GetStateFailed;
  } else if (!TakeEvent(&model->walk, "set-state").ok) {
    failure = text::SetStateFailed;
  } else if (!TakeEvent(&model->walk, "set-timeouts").ok) {
    // The write profile is already in force: it is taken back as well.
    TakeEvent(&model->walk, "restore-state");
    failure = text::SetTimeoutsFailed;
  }
  if (failure == nullptr) {
    model->walk.writeTimeoutConstantMs = 5000;
    return true;
  }
  TakeEvent(&model->walk, "close");
  ExpectBox(model, text::CaptionError, failure);
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
  Stretch result = DrainWriteReply(model, expected::EnterCommand, expected::EnterAccepted.size(), &reply);
  if (result != GOES_ON) return result;
  return reply == expected::EnterAccepted ? GOES_ON : LEAVES;
}

Stretch WalkProductType(Model* model) {
  const Bytes& lead = expected::ProductTypeLead;
  WalkSleep(&model->walk, 10);
  Bytes reply;
  Stretch result = DrainWriteReply(model, expected::QueryCommand, lead.size() + expected::ProductTypeLength, &reply);
  if (result != GOES_ON) return result;
  if (reply.size() != lead.size() + expected::ProductTypeLength || !std::equal(lead.begin(), lead.end(), reply.begin()))
    return LEAVES;
  std::string type(reply.begin() + lead.size(), reply.end());
  model->productType = type.substr(0, type.find('\0'));
  WalkSleep(&model->walk, 10);
  if (!WalkDrain(&model->walk)) return READ_ERROR;
  if (type == expected::AcceptedProductType) return GOES_ON;
  ExpectBox(model, text::CaptionIncompatible, Format(text::Incompatible, model->productType));
  return LEAVES;
}

// The text one row sends (the part of its field before the first character
// the module cannot show), with the box when the field was cut.
std::string ModelRowText(Model* model, int row) {
  std::u16string considered = TextUpToZero(CurrentScene.rowText[row].substr(0, expected::RowTextMax).c_str());
  size_t kept = 0;
  while (kept < considered.size() && considered[kept] >= 0x20 && considered[kept] <= 0x7F) ++kept;
  std::string keptText(considered.begin(), considered.begin() + kept);
  if (kept < considered.size()) {
    model->rowField[row] = considered.substr(0, kept);
    if (row == 0) ExpectBox(model, text::CaptionRow0Cut, Format(text::Row0Cut, keptText));
    else ExpectBox(model, text::CaptionRow1Cut, Format(text::Row1Cut, keptText));
  }
  return keptText;
}

Bytes ModelRecord(Model* model) {
  if (CurrentScene.action == WRITE_ACTION_FACTORY_DEFAULT) return expected::FactoryRecord();
  BYTE speed = CurrentScene.speed < 0 ? expected::NoSelectionSpeedCode : expected::SpeedRows[CurrentScene.speed].code;
  std::string row0 = ModelRowText(model, 0);
  return expected::Record(speed, row0, ModelRowText(model, 1));
}

Stretch WalkRecord(Model* model) {
  if (!WalkWrite(&model->walk, expected::WriteCommand)) return WRITE_ERROR;
  WalkSleep(&model->walk, 50);
  Bytes record = ModelRecord(model);
  const size_t rowSize = expected::RowSize;
  if (!WalkWrite(&model->walk, Bytes(record.begin(), record.begin() + rowSize))) return WRITE_ERROR;
  if (!WalkWrite(&model->walk, Bytes(record.begin() + rowSize, record.end()))) return WRITE_ERROR;
  WalkSleep(&model->walk, 100);
  Bytes reply;
  if (!WalkReply(&model->walk, expected::WriteConfirmed.size(), &reply)) return READ_ERROR;
  model->confirmed = reply == expected::WriteConfirmed;
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
  return WalkWrite(&model->walk, expected::ExitCommand) ? GOES_ON : WRITE_ERROR;
}

void WalkFinish(Model* model, Stretch result) {
  bool factory = CurrentScene.action == WRITE_ACTION_FACTORY_DEFAULT;
  if (result == READ_ERROR) ExpectBox(model, text::CaptionError, text::ReadError);
  else if (result == WRITE_ERROR) ExpectBox(model, text::CaptionError, text::WriteError);
  else if (factory && model->confirmed) ExpectBox(model, text::CaptionFactoryRestored, text::FactoryRestored);
  else if (factory) ExpectBox(model, text::CaptionError, text::FactoryFailed);
  else if (model->confirmed) ExpectBox(model, text::CaptionWriteOk, Format(text::WriteOk, model->productType));
  else ExpectBox(model, text::CaptionWriteFailed, Format(text::WriteFailed, model->productType));
  WalkSleep(&model->walk, 50);
  TakeEvent(&model->walk, "restore-state");
  TakeEvent(&model->walk, "close");
}

Model WalkPress() {
  Model model = {};
  model.walk = BeginWalk(0, 0);
  model.rowField[0] = CurrentScene.rowText[0];
  model.rowField[1] = CurrentScene.rowText[1];
  if (CurrentScene.action == WRITE_ACTION_FACTORY_DEFAULT) {
    model.rowField[0] = DefaultRow[0];
    model.rowField[1] = DefaultRow[1];
  }
  if (CurrentScene.portText.size() > expected::PortNameMax)
    ExpectBox(&model, Wide(text::CaptionPortCut), CurrentScene.usedName);
  if (WalkOpening(&model)) WalkFinish(&model, WalkExchange(&model));
  FUZZ_CHECK(IsWalkAtEnd(&model.walk), "platform calls after the sequence should have ended, at #" +
                                           std::to_string(model.walk.next));
  return model;
}

// --- what must hold after every press ----------------------------------

void CheckBoxes(const Model& model) {
  const std::vector<SimBox>& shown = CurrentScene.dialog->boxes;
  FUZZ_CHECK(shown.size() == model.boxes.size(), std::to_string(shown.size()) + " boxes instead of " +
                                                     std::to_string(model.boxes.size()));
  for (size_t i = 0; i < shown.size(); ++i) {
    std::string which = "box " + std::to_string(i) + " (" + SimUtf8(shown[i].caption.c_str()) + ")";
    FUZZ_CHECK(shown[i].caption == model.boxes[i].caption, which + ": wrong caption");
    FUZZ_CHECK(shown[i].text == model.boxes[i].text, which + ": wrong text");
    FUZZ_CHECK(CurrentScene.eventsAtBox[i] == model.boxes[i].atEvent, which + ": shown at the wrong moment");
  }
  // Exactly one outcome or error box, and it is the last.
  int outcomes = 0;
  for (const SimBox& box : shown) {
    bool outcome = box.caption == CaptionError || box.caption == CaptionOpenFailed ||
                   box.caption == CaptionWriteOk || box.caption == CaptionWriteFailed ||
                   box.caption == CaptionFactoryOk;
    outcomes += outcome ? 1 : 0;
    FUZZ_CHECK(!outcome || &box == &shown.back(), "an outcome box that is not the last");
  }
  FUZZ_CHECK(outcomes == 1, std::to_string(outcomes) + " outcome boxes");
  bool claimsSuccess = shown.back().caption == CaptionWriteOk || shown.back().caption == CaptionFactoryOk;
  FUZZ_CHECK(!claimsSuccess || model.confirmed, "success shown without 28 65 32 00 from the module");
}

// The saved line settings go back whenever the sequence changed them.
void CheckPortLeftAsFound() {
  FUZZ_CHECK(SimOpenHandleCount() == 0 && !CurrentScene.port->open, "the port was left open");
  const std::vector<DCB>& sets = CurrentScene.port->dcbSets;
  FUZZ_CHECK(IsPutBackAfterChange(sets, CurrentScene.port->failSetCommState, CurrentScene.originalDcb, SimSameDcb),
             "line settings changed and not written back");
  if (sets.empty()) return;
  // The write profile: only these fields differ from what GetCommState gave.
  DCB profile = CurrentScene.originalDcb;
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
  FUZZ_CHECK(SimSameDcb(sets.front(), profile),
             "the write profile is not what was applied");
  FUZZ_CHECK(CurrentScene.port->timeoutSets.empty() ||
                 (CurrentScene.port->timeoutSets.front().ReadIntervalTimeout == MAXDWORD &&
                  CurrentScene.port->timeoutSets.front().WriteTotalTimeoutConstant == 5000),
             "the write timeouts are not what was applied");
}

void CheckFieldsAndTime(const Model& model) {
  std::u16string portField = CurrentScene.portText.size() > expected::PortNameMax ? CurrentScene.usedName : CurrentScene.portText;
  FUZZ_CHECK(CurrentScene.dialog->portText == portField, "the port field is wrong");
  FUZZ_CHECK(CurrentScene.dialog->rowText[0] == model.rowField[0], "row 0 field is wrong");
  FUZZ_CHECK(CurrentScene.dialog->rowText[1] == model.rowField[1], "row 1 field is wrong");
  int speed = CurrentScene.action == WRITE_ACTION_FACTORY_DEFAULT ? 3 : CurrentScene.speed;
  FUZZ_CHECK(CurrentScene.dialog->speedSelection == speed, "the speed selection is wrong");
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
  for (const SimBox& box : CurrentScene.dialog->boxes)
    std::fprintf(stderr, "box: %s | %s\n", SimUtf8(box.caption.c_str()).c_str(),
                 SimUtf8(box.text.c_str()).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SimReset();
  ByteFeed feed = MakeFeed(data, size);
  ReadStream stream = {&feed, {}};
  BuildScene(&feed, &stream);
  RunWriteSequence(CurrentScene.withoutState ? nullptr : SimFrontEnd(), CurrentScene.action);
  if (CurrentScene.withoutState) {
    // Without the state there is no port path: nothing may run at all.
    FUZZ_CHECK(SimEvents().empty() && CurrentScene.dialog->boxes.empty(), "a sequence ran without DialogState");
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

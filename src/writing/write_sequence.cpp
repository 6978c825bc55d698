#include "writing/write_sequence.h"

#include "protocol/display_protocol.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"
#include "ui/dialog_ops.h"
#include "ui/dialog_state.h"
#include "writing/message_format.h"

namespace {

// The operator sees these exactly as written, spaces included.
const Utf16Unit kCaptionError[] = u"Error.";
const Utf16Unit kCaptionPortCut[] = u"COM port name truncated to:";
const Utf16Unit kCaptionOpenFailed[] = u"Error.  Could not open COM port:";
const Utf16Unit kTextGetStateFailed[] = u"GetCommState() returned error.";
const Utf16Unit kTextSetStateFailed[] = u"SetCommState() returned error.";
const Utf16Unit kTextSetTimeoutsFailed[] = u"SetCommTimeouts() returned error.";
const Utf16Unit kTextReadError[] = u"Error reading from COM port.";
const Utf16Unit kTextWriteError[] = u"Error writing to COM port.";
const Utf16Unit kCaptionIncompatible[] = u"Error: Incompatible VFD module";
const Utf16Unit kFormatIncompatible[] =
    u"Product type: %s\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 ";
const Utf16Unit* const kFormatRowCut[2] = {
    u"Row 0 truncated to:          \r\n\r\n%s\r\n",
    u"Row 1 truncated to:          \r\n\r\n%s\r\n",
};
const Utf16Unit* const kCaptionRowCut[2] = {
    u"Invalid character(s) in Row 0.",
    u"Invalid character(s) in Row 1.",
};
const Utf16Unit kTextFactoryRestored[] = u"Factory default restored.";
const Utf16Unit kCaptionFactoryRestored[] = u"Success.";
const Utf16Unit kTextFactoryFailed[] = u"Factory default restoration failed.";
const Utf16Unit kFormatWriteOk[] = u"Product type: %s\r\nStartup Message write: (OK)     ";
const Utf16Unit kCaptionWriteOk[] = u"Startup Message write successful";
const Utf16Unit kFormatWriteFailed[] = u"Product type: %s\r\nStartup Message write: (failed) ";
const Utf16Unit kCaptionWriteFailed[] = u"Startup Message write failed";

// Pauses the module needs between commands: a short settle before each
// drain, time to get ready for the record after the write command, time to
// store the record before it confirms, and a last pause before the port's
// settings go back.
const DWORD SETTLE_MS = 10;
const DWORD RECORD_LEAD_MS = 50;
const DWORD CONFIRM_WAIT_MS = 100;
const DWORD CLOSE_DELAY_MS = 50;

// How a stretch of the exchange ended. LEAVE: the module answered wrongly
// (or is the wrong one), so it is still taken out of set-up mode.
enum StepResult { STEP_DONE, STEP_LEAVE, STEP_READ_ERROR, STEP_WRITE_ERROR };

struct WriteRun {
  HWND dialog;
  WriteAction action;
  DialogState* state;
  SerialLink link;
  StartupMessageRecord record;
  ProductTypeText productType;  // empty until a well-formed reply arrives
  bool success;
  Utf16Unit message[MESSAGE_BUFFER_UNITS];
};

void ResetFieldsToFactory(HWND dialog) {
  DialogSetRowText(dialog, 0, DefaultRow0Text);
  DialogSetRowText(dialog, 1, DefaultRow1Text);
  DialogSetSpeedSelection(dialog, SPEED_DEFAULT_POSITION);
}

Utf16Unit* PortNameOf(WriteRun* run) { return run->state->devicePath + DEVICE_PATH_PREFIX_LENGTH; }

// The name goes right after the \\.\ prefix. A longer name than the path can
// hold is cut, and the operator sees (and keeps) what is actually used.
void ReadPortName(WriteRun* run) {
  Utf16Unit* name = PortNameOf(run);
  DWORD length = DialogGetPortTextLength(run->dialog);
  if (length > PORT_NAME_MAX) {
    DialogGetPortText(run->dialog, name, PORT_NAME_MAX + 1);
    DialogSetPortText(run->dialog, name);
    DialogShowBox(run->dialog, name, kCaptionPortCut);
  } else {
    DialogGetPortText(run->dialog, name, length + 1);
  }
}

void CloseAndShow(WriteRun* run, const Utf16Unit* text) {
  ClosePort(&run->link);
  DialogShowBox(run->dialog, text, kCaptionError);
}

// Failures here end the sequence with the port already closed. The write
// profile is in force once SetCommState has succeeded, so a failing
// SetCommTimeouts must still put the saved line settings back.
bool OpenAndConfigure(WriteRun* run) {
  if (!OpenPort(run->state->devicePath, &run->link)) {
    DialogShowBox(run->dialog, PortNameOf(run), kCaptionOpenFailed);
    return false;
  }
  if (!SaveLineSettings(&run->link)) {
    CloseAndShow(run, kTextGetStateFailed);
    return false;
  }
  if (!ApplyLineProfile(&run->link, WRITE_PROFILE)) {
    CloseAndShow(run, kTextSetStateFailed);
    return false;
  }
  if (!ApplyTimeouts(&run->link, WRITE_TIMEOUTS)) {
    RestoreLineSettings(&run->link);
    CloseAndShow(run, kTextSetTimeoutsFailed);
    return false;
  }
  return true;
}

StepResult DrainAndSend(WriteRun* run, const BYTE* command, DWORD length) {
  if (!DrainInput(&run->link)) return STEP_READ_ERROR;
  if (!WriteExact(&run->link, command, length)) return STEP_WRITE_ERROR;
  return STEP_DONE;
}

StepResult EnterSetup(WriteRun* run) {
  StepResult result = DrainAndSend(run, EnterSetupMode, sizeof EnterSetupMode);
  if (result != STEP_DONE) return result;
  DWORD count = 0;
  if (!ReadReply(&run->link, STATUS_REPLY_LENGTH, &count)) return STEP_READ_ERROR;
  return IsStatusReply(count, ReceiveBuffer, FUNCTION_ENTER_SETUP) ? STEP_DONE : STEP_LEAVE;
}

// The product type is judged before the next drain, which reuses the start
// of ReceiveBuffer.
StepResult CheckProductType(WriteRun* run) {
  PortSleep(SETTLE_MS);
  StepResult result = DrainAndSend(run, QueryProductType, sizeof QueryProductType);
  if (result != STEP_DONE) return result;
  DWORD count = 0;
  if (!ReadReply(&run->link, PRODUCT_TYPE_REPLY_LENGTH, &count)) return STEP_READ_ERROR;
  if (!IsProductTypeReply(count, ReceiveBuffer)) return STEP_LEAVE;
  run->productType = MakeProductTypeText(ReceiveBuffer);
  bool accepted = IsAcceptedProductType(ReceiveBuffer);
  PortSleep(SETTLE_MS);
  if (!DrainInput(&run->link)) return STEP_READ_ERROR;
  if (accepted) return STEP_DONE;
  FormatMessageText(run->message, MESSAGE_BUFFER_UNITS, kFormatIncompatible, run->productType.text);
  DialogShowBox(run->dialog, run->message, kCaptionIncompatible);
  return STEP_LEAVE;
}

// A row is cut at its first character the module cannot show; the field then
// shows what is really sent.
void PrepareRow(WriteRun* run, int row, SpeedCode speed) {
  Utf16Unit text[ROW_TEXT_MAX + 1];
  DialogGetRowText(run->dialog, row, text);
  text[ROW_TEXT_MAX] = 0;
  RowTextResult result = PrepareRowText(text, speed, run->record.bytes + row * ROW_LENGTH);
  if (!result.wasCut) return;
  DialogSetRowText(run->dialog, row, result.keptText);
  FormatMessageText(run->message, MESSAGE_BUFFER_UNITS, kFormatRowCut[row], result.keptText);
  DialogShowBox(run->dialog, run->message, kCaptionRowCut[row]);
}

void BuildRecord(WriteRun* run) {
  if (run->action == WRITE_ACTION_FACTORY_DEFAULT) {
    run->record = FactoryDefaultRecord;
    return;
  }
  SpeedCode speed = SpeedCodeFor(DialogGetSpeedSelection(run->dialog));
  PrepareRow(run, 0, speed);
  PrepareRow(run, 1, speed);
}

// The rows are read only now, after the write command: the module waits for
// the record while any row box is on screen.
StepResult SendRecord(WriteRun* run) {
  if (!WriteExact(&run->link, WriteStartupMessage, sizeof WriteStartupMessage)) return STEP_WRITE_ERROR;
  PortSleep(RECORD_LEAD_MS);
  BuildRecord(run);
  if (!WriteExact(&run->link, run->record.bytes, ROW_LENGTH)) return STEP_WRITE_ERROR;
  if (!WriteExact(&run->link, run->record.bytes + ROW_LENGTH, ROW_LENGTH)) return STEP_WRITE_ERROR;
  PortSleep(CONFIRM_WAIT_MS);
  DWORD count = 0;
  if (!ReadReply(&run->link, STATUS_REPLY_LENGTH, &count)) return STEP_READ_ERROR;
  run->success = IsStatusReply(count, ReceiveBuffer, FUNCTION_WRITE_STARTUP);
  PortSleep(SETTLE_MS);
  if (!DrainInput(&run->link)) return STEP_READ_ERROR;
  return STEP_DONE;
}

// An I/O error ends the exchange on the spot; a wrong answer still takes the
// module out of set-up mode.
StepResult RunExchange(WriteRun* run) {
  StepResult result = EnterSetup(run);
  if (result == STEP_DONE) result = CheckProductType(run);
  if (result == STEP_DONE) result = SendRecord(run);
  if (result == STEP_LEAVE || result == STEP_DONE) {
    result = WriteExact(&run->link, ExitSetupMode, sizeof ExitSetupMode) ? STEP_DONE : STEP_WRITE_ERROR;
  }
  return result;
}

// The port stays open while the box is on screen.
void Finish(WriteRun* run, const Utf16Unit* text, const Utf16Unit* caption) {
  DialogShowBox(run->dialog, text, caption);
  PortSleep(CLOSE_DELAY_MS);
  RestoreLineSettings(&run->link);
  ClosePort(&run->link);
}

void ReportOutcome(WriteRun* run) {
  if (run->action == WRITE_ACTION_FACTORY_DEFAULT) {
    if (run->success) Finish(run, kTextFactoryRestored, kCaptionFactoryRestored);
    else Finish(run, kTextFactoryFailed, kCaptionError);
    return;
  }
  const Utf16Unit* format = run->success ? kFormatWriteOk : kFormatWriteFailed;
  FormatMessageText(run->message, MESSAGE_BUFFER_UNITS, format, run->productType.text);
  Finish(run, run->message, run->success ? kCaptionWriteOk : kCaptionWriteFailed);
}

void EndExchange(WriteRun* run, StepResult result) {
  if (result == STEP_READ_ERROR) Finish(run, kTextReadError, kCaptionError);
  else if (result == STEP_WRITE_ERROR) Finish(run, kTextWriteError, kCaptionError);
  else ReportOutcome(run);
}

}  // namespace

void RunWriteSequence(HWND dialog, WriteAction action) {
  // Without its state (the allocation failed at start) the dialog has no
  // port path to write into, so there is nothing to run.
  if (g_dialogState == nullptr) return;
  WriteRun run = {};
  run.dialog = dialog;
  run.action = action;
  run.state = g_dialogState;
  if (action == WRITE_ACTION_FACTORY_DEFAULT) ResetFieldsToFactory(dialog);
  ReadPortName(&run);
  if (!OpenAndConfigure(&run)) return;
  EndExchange(&run, RunExchange(&run));
}

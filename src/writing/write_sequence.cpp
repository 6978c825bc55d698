#include "writing/write_sequence.h"

#include <cstring>

#include "frontend/frontend_ops.h"
#include "protocol/display_protocol.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"
#include "writing/message_format.h"

namespace {

// The operator sees these exactly as written, spaces included.
const Utf16Unit CaptionError[] = u"Error.";
const Utf16Unit CaptionPortCut[] = u"COM port name truncated to:";
const Utf16Unit CaptionOpenFailed[] = u"Error.  Could not open COM port:";
const Utf16Unit TextGetStateFailed[] = u"GetCommState() returned error.";
const Utf16Unit TextSetStateFailed[] = u"SetCommState() returned error.";
const Utf16Unit TextSetTimeoutsFailed[] = u"SetCommTimeouts() returned error.";
const Utf16Unit TextReadError[] = u"Error reading from COM port.";
const Utf16Unit TextWriteError[] = u"Error writing to COM port.";
const Utf16Unit CaptionIncompatible[] = u"Error: Incompatible VFD module";
const Utf16Unit FormatIncompatible[] =
    u"Product type: %s\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 ";
const Utf16Unit* const FormatRowCut[2] = {
    u"Row 0 truncated to:          \r\n\r\n%s\r\n",
    u"Row 1 truncated to:          \r\n\r\n%s\r\n",
};
const Utf16Unit* const CaptionRowCut[2] = {
    u"Invalid character(s) in Row 0.",
    u"Invalid character(s) in Row 1.",
};
const Utf16Unit TextFactoryRestored[] = u"Factory default restored.";
const Utf16Unit CaptionFactoryRestored[] = u"Success.";
const Utf16Unit TextFactoryFailed[] = u"Factory default restoration failed.";
const Utf16Unit FormatWriteOk[] = u"Product type: %s\r\nStartup Message write: (OK)     ";
const Utf16Unit CaptionWriteOk[] = u"Startup Message write successful";
const Utf16Unit FormatWriteFailed[] = u"Product type: %s\r\nStartup Message write: (failed) ";
const Utf16Unit CaptionWriteFailed[] = u"Startup Message write failed";

// Pauses the module needs between commands: a short settle before each
// drain, time to get ready for the record after the write command, time to
// store the record before it confirms, and a last pause before the port's
// settings go back.
const DWORD SettleMs = 10;
const DWORD RecordLeadMs = 50;
const DWORD ConfirmWaitMs = 100;
const DWORD CloseDelayMs = 50;

// How a stretch of the exchange ended. LEAVE: the module answered wrongly
// (or is the wrong one), so it is still taken out of set-up mode.
enum StepResult { STEP_DONE, STEP_LEAVE, STEP_READ_ERROR, STEP_WRITE_ERROR };

struct WriteRun {
  FrontEnd* frontEnd;
  WriteAction action;
  // The port name as read from the port field at this press.
  Utf16Unit portName[PortNameCapacity + 1];
  BYTE* receiveBuffer;          // every reply of this sequence lands here
  WriteOptions options;
  SerialLink link;
  bool incompatible;            // a well-formed reply named another product type
  bool held;                    // options.holdRecord: the record was due, and not sent
  bool success;                 // the module confirmed the record
  WriteResult result;
  Utf16Unit message[MessageBufferUnits];
};

void ResetFieldsToFactory(FrontEnd* frontEnd) {
  FrontEndSetRowText(frontEnd, 0, DefaultRow0Text);
  FrontEndSetRowText(frontEnd, 1, DefaultRow1Text);
  FrontEndSetSpeedSelection(frontEnd, SpeedDefaultPosition);
}

Utf16Unit* PortNameOf(WriteRun* run) { return run->portName; }

// A longer name than the platform's ports take is cut, and the operator sees
// (and keeps) what is actually used.
void ReadPortName(WriteRun* run) {
  Utf16Unit* name = PortNameOf(run);
  DWORD length = FrontEndGetPortTextLength(run->frontEnd);
  DWORD limit = PortNameLimit();
  if (length > limit) {
    FrontEndGetPortText(run->frontEnd, name, limit + 1);
    FrontEndSetPortText(run->frontEnd, name);
    FrontEndShowBox(run->frontEnd, name, CaptionPortCut);
  } else {
    FrontEndGetPortText(run->frontEnd, name, length + 1);
  }
}

// The port could not be used: nothing was sent, and the port is closed.
void FailOpening(WriteRun* run, PortFailure failure) {
  run->result.outcome = WRITE_OPEN_FAILED;
  run->result.portFailure = failure;
  run->result.portError = run->link.lastError;
}

void CloseAndShow(WriteRun* run, const Utf16Unit* text) {
  ClosePort(&run->link);
  FrontEndShowBox(run->frontEnd, text, CaptionError);
}

// Failures here end the sequence with the port already closed. The write
// profile is in force once SetCommState has succeeded, so a failing
// SetCommTimeouts must still put the saved line settings back.
bool OpenAndConfigure(WriteRun* run) {
  if (!OpenPortToWrite(run->portName, &run->link)) {
    FailOpening(run, ClassifyOpenError(run->link.lastError));
    FrontEndShowBox(run->frontEnd, PortNameOf(run), CaptionOpenFailed);
    return false;
  }
  run->link.receiveBuffer = run->receiveBuffer;
  if (!SaveLineSettings(&run->link)) {
    FailOpening(run, PORT_NOT_SERIAL);
    CloseAndShow(run, TextGetStateFailed);
    return false;
  }
  if (!ApplyLineProfile(&run->link, WRITE_PROFILE)) {
    FailOpening(run, PORT_UNUSABLE);
    CloseAndShow(run, TextSetStateFailed);
    return false;
  }
  if (!ApplyTimeouts(&run->link, WRITE_TIMEOUTS)) {
    FailOpening(run, PORT_UNUSABLE);
    RestoreLineSettings(&run->link);
    CloseAndShow(run, TextSetTimeoutsFailed);
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
  if (!ReadReply(&run->link, StatusReplyLength, &count)) return STEP_READ_ERROR;
  run->result.moduleAnswered = count > 0;
  return IsStatusReply(count, run->link.receiveBuffer, FunctionEnterSetup) ? STEP_DONE : STEP_LEAVE;
}

// The product type is judged before the next drain, which reuses the start
// of the receive buffer.
StepResult CheckProductType(WriteRun* run) {
  PortSleep(SettleMs);
  StepResult result = DrainAndSend(run, QueryProductType, sizeof QueryProductType);
  if (result != STEP_DONE) return result;
  DWORD count = 0;
  if (!ReadReply(&run->link, ProductTypeReplyLength, &count)) return STEP_READ_ERROR;
  const BYTE* reply = run->link.receiveBuffer;
  if (!IsProductTypeReply(count, reply)) return STEP_LEAVE;
  run->result.productTypeKnown = true;
  run->result.productType = MakeProductTypeText(reply);
  run->incompatible = !IsAcceptedProductType(reply);
  PortSleep(SettleMs);
  if (!DrainInput(&run->link)) return STEP_READ_ERROR;
  if (!run->incompatible) return STEP_DONE;
  FormatMessageText(run->message, MessageBufferUnits, FormatIncompatible,
                    run->result.productType.text);
  FrontEndShowBox(run->frontEnd, run->message, CaptionIncompatible);
  return STEP_LEAVE;
}

// A row is cut at its first character the module cannot show; the field then
// shows what is really sent.
void PrepareRow(FrontEnd* frontEnd, int row, SpeedCode speed, StartupMessageRecord* record) {
  Utf16Unit text[RowTextMax + 1];
  FrontEndGetRowText(frontEnd, row, text);
  text[RowTextMax] = 0;
  RowTextResult result = PrepareRowText(text, speed, record->bytes + row * RowLength);
  if (!result.wasCut) return;
  FrontEndSetRowText(frontEnd, row, result.keptText);
  Utf16Unit message[MessageBufferUnits];
  FormatMessageText(message, MessageBufferUnits, FormatRowCut[row], result.keptText);
  FrontEndShowBox(frontEnd, message, CaptionRowCut[row]);
}

void BuildRecord(WriteRun* run) {
  run->result.recordBuilt = true;
  run->result.record = BuildStartupRecord(run->frontEnd, run->action);
}

// The rows are read only now, after the write command: the module waits for
// the record while any row box is on screen.
StepResult SendRecord(WriteRun* run) {
  if (!WriteExact(&run->link, WriteStartupMessage, sizeof WriteStartupMessage)) return STEP_WRITE_ERROR;
  PortSleep(RecordLeadMs);
  BuildRecord(run);
  const BYTE* record = run->result.record.bytes;
  if (!WriteExact(&run->link, record, RowLength)) return STEP_WRITE_ERROR;
  if (!WriteExact(&run->link, record + RowLength, RowLength)) return STEP_WRITE_ERROR;
  PortSleep(ConfirmWaitMs);
  DWORD count = 0;
  if (!ReadReply(&run->link, StatusReplyLength, &count)) return STEP_READ_ERROR;
  run->success = IsStatusReply(count, run->link.receiveBuffer, FunctionWriteStartup);
  PortSleep(SettleMs);
  if (!DrainInput(&run->link)) return STEP_READ_ERROR;
  return STEP_DONE;
}

// An I/O error ends the exchange on the spot; a wrong answer still takes the
// module out of set-up mode.
StepResult RunExchange(WriteRun* run) {
  StepResult result = EnterSetup(run);
  if (result == STEP_DONE) result = CheckProductType(run);
  run->held = result == STEP_DONE && run->options.holdRecord;
  if (result == STEP_DONE && !run->held) result = SendRecord(run);
  if (result == STEP_LEAVE || result == STEP_DONE) {
    result = WriteExact(&run->link, ExitSetupMode, sizeof ExitSetupMode) ? STEP_DONE : STEP_WRITE_ERROR;
  }
  return result;
}

void ReleasePort(WriteRun* run) {
  if (run->options.concluded != nullptr) run->options.concluded(run->options.context, run->result);
  PortSleep(CloseDelayMs);
  RestoreLineSettings(&run->link);
  ClosePort(&run->link);
}

// The port stays open while the box is on screen.
void Finish(WriteRun* run, const Utf16Unit* text, const Utf16Unit* caption) {
  FrontEndShowBox(run->frontEnd, text, caption);
  ReleasePort(run);
}

void ReportOutcome(WriteRun* run) {
  if (run->held) {  // no outcome box: nothing was written to report
    run->result.outcome = WRITE_RECORD_HELD;
    return ReleasePort(run);
  }
  if (run->success) run->result.outcome = WRITE_STORED;
  else run->result.outcome = run->incompatible ? WRITE_INCOMPATIBLE : WRITE_NOT_CONFIRMED;
  if (run->success && run->options.confirmed != nullptr) run->options.confirmed(run->options.context, run->result);
  if (run->action == WRITE_ACTION_FACTORY_DEFAULT) {
    if (run->success) Finish(run, TextFactoryRestored, CaptionFactoryRestored);
    else Finish(run, TextFactoryFailed, CaptionError);
    return;
  }
  const Utf16Unit* format = run->success ? FormatWriteOk : FormatWriteFailed;
  FormatMessageText(run->message, MessageBufferUnits, format, run->result.productType.text);
  Finish(run, run->message, run->success ? CaptionWriteOk : CaptionWriteFailed);
}

void EndExchange(WriteRun* run, StepResult result) {
  if (result == STEP_DONE) {
    ReportOutcome(run);
    return;
  }
  run->result.outcome = WRITE_IO_ERROR;
  run->result.readFailed = result == STEP_READ_ERROR;
  Finish(run, result == STEP_READ_ERROR ? TextReadError : TextWriteError, CaptionError);
}

}  // namespace

StartupMessageRecord BuildStartupRecord(FrontEnd* frontEnd, WriteAction action) {
  if (action == WRITE_ACTION_FACTORY_DEFAULT) return FactoryDefaultRecord;
  StartupMessageRecord record = {};
  SpeedCode speed = SpeedCodeFor(FrontEndGetSpeedSelection(frontEnd));
  PrepareRow(frontEnd, 0, speed, &record);
  PrepareRow(frontEnd, 1, speed, &record);
  return record;
}

WriteResult RunWriteSequence(FrontEnd* frontEnd, WriteAction action) {
  return RunWriteSequenceWithBuffer(frontEnd, action, ReceiveBuffer, nullptr);
}

WriteResult RunWriteSequenceWithBuffer(FrontEnd* frontEnd, WriteAction action, BYTE* receiveBuffer,
                                       const WriteOptions* options) {
  WriteRun run = {};
  run.receiveBuffer = receiveBuffer;
  if (options != nullptr) run.options = *options;
  run.result.outcome = WRITE_NOTHING_RUN;
  // A dialog shown without its record (the allocation failed at start) has
  // no fields to read: there is nothing to run.
  if (frontEnd == nullptr) return run.result;
  run.frontEnd = frontEnd;
  run.action = action;
  if (action == WRITE_ACTION_FACTORY_DEFAULT) ResetFieldsToFactory(frontEnd);
  ReadPortName(&run);
  if (OpenAndConfigure(&run)) EndExchange(&run, RunExchange(&run));
  return run.result;
}

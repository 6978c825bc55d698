// write and factory-default: the dialog's write sequence with the console as
// its front end, the state kept per port, and the outcome as an exit code.
#include <algorithm>

#include "cli/cli_commands.h"
#include "cli/cli_platform.h"
#include "cli/find_display.h"
#include "cli/state_store.h"
#include "cli/text_convert.h"
#include "discovery/port_list.h"
#include "protocol/startup_view.h"
#include "writing/write_sequence.h"

namespace {

struct OutcomeName {
  WriteOutcome outcome;
  const char* key;
  ExitCode exitCode;
};

const OutcomeName OutcomeNames[] = {
    {WRITE_STORED, "stored", EXIT_STORED},
    {WRITE_NOT_CONFIRMED, "not_confirmed", EXIT_NOT_STORED},
    {WRITE_INCOMPATIBLE, "incompatible", EXIT_NOT_STORED},
    {WRITE_OPEN_FAILED, "open_failed", EXIT_NO_PORT},
    {WRITE_IO_ERROR, "io_error", EXIT_IO_ERROR},
    {WRITE_NOTHING_RUN, "io_error", EXIT_IO_ERROR},
};

const OutcomeName& NameOf(WriteOutcome outcome) {
  for (const OutcomeName& name : OutcomeNames)
    if (name.outcome == outcome) return name;
  return OutcomeNames[4];
}

// Everything a write knows besides the front end.
struct WriteJob {
  CliRun run;
  WriteAction action;
  StartupMessageRecord record;  // what the write would send
  std::string stateDir;
  std::string port;             // UTF-8, as given or chosen; empty: none
  bool searched;                // the port was found by probing
  ProbeRun probes;
};

std::string OpenFailureText(const WriteJob& job, const WriteResult& result) {
  switch (result.portFailure) {
    case PORT_MISSING: return "there is no port " + job.port;
    case PORT_BUSY: return job.port + " is busy: another program holds it";
    case PORT_ACCESS_DENIED: return job.port + ": access denied; " + AccessDeniedHint();
    case PORT_NOT_SERIAL: return job.port + " is not a serial device";
    default: return job.port + " could not be set up for the display";
  }
}

// What the write will send, built silently: its boxes come with the write.
StartupMessageRecord RecordToSend(CliRun* run, WriteAction action) {
  FrontEnd silent = run->frontEnd;
  silent.echo = nullptr;
  StartupMessageRecord record = BuildStartupRecord(&silent, action);
  NoteRowCuts(run, silent);
  return record;
}

bool SameRecord(const StartupMessageRecord& a, const StartupMessageRecord& b) {
  return std::equal(a.bytes, a.bytes + RecordLength, b.bytes);
}

// The kept state says the module holds this record already.
bool HoldsRecord(WriteJob* job, const std::string& port) {
  PortState state;
  std::string reason;
  StateRead read = ReadPortState(job->stateDir, port, &state, &reason);
  if (read == STATE_DAMAGED) Warn(&job->run, "state unknown (" + reason + "); writing anyway");
  return read == STATE_FOUND && SameRecord(state.record, job->record);
}

std::string ConfiguredPort() {
  PortList list;
  ReadPortList(&list);
  return Utf16ToUtf8(list.configured);
}

void AddRecordJson(WriteJob* job, bool recordSent) {
  std::vector<std::string> rows;
  for (int row = 0; row < 2; ++row) rows.push_back(JsonString(RowTextOf(job->record.bytes, row)));
  JsonAdd(&job->run.result, "rows", recordSent ? JsonArray(rows) : "null");
  JsonAdd(&job->run.result, "record", recordSent ? JsonString(RecordHex(job->record)) : "null");
}

int Finish(WriteJob* job, const std::string& outcome, bool changed, int exitCode) {
  if (job->searched) AddCandidatesJson(&job->run, &job->probes, WaitForChoice(&job->probes));
  JsonAdd(&job->run.result, "port", job->port.empty() ? "null" : JsonString(job->port));
  JsonAdd(&job->run.result, "outcome", JsonString(outcome));
  JsonAdd(&job->run.result, "changed", changed ? "true" : "false");
  if (job->run.options.json) PrintJsonResult(&job->run);
  return exitCode;
}

int FinishUnchanged(WriteJob* job) {
  AddRecordJson(job, true);
  JsonAdd(&job->run.result, "product_type", "null");
  if (!job->run.options.json) PrintLine("unchanged: the module on " + job->port + " holds this message already");
  return Finish(job, "unchanged", false, EXIT_STORED);
}

// --check: what a write would do, from the kept state alone.
int ReportCheck(WriteJob* job) {
  if (job->port.empty()) job->port = ConfiguredPort();
  bool holds = !job->port.empty() && HoldsRecord(job, job->port);
  AddRecordJson(job, true);
  JsonAdd(&job->run.result, "product_type", "null");
  if (!job->run.options.json) PrintLine(holds ? "unchanged: nothing would be written" : "would write the message");
  return Finish(job, holds ? "unchanged" : "would_write", !holds, EXIT_STORED);
}

void KeepState(WriteJob* job, const WriteResult& result) {
  std::string reason;
  if (result.outcome == WRITE_STORED) {
    PortState state = {job->port, Utf16ToUtf8(result.productType.text), result.record};
    if (!WritePortState(job->stateDir, state, &reason)) Warn(&job->run, "state not kept: " + reason);
  } else if (result.recordBuilt) {
    // The record may have reached the module unconfirmed: what it holds is unknown now.
    if (!ForgetPortState(job->stateDir, job->port, &reason)) Warn(&job->run, reason);
  }
}

int ReportWrite(WriteJob* job, const WriteResult& result) {
  const OutcomeName& name = NameOf(result.outcome);
  JsonAdd(&job->run.result, "product_type", JsonString(Utf16ToUtf8(result.productType.text)));
  AddRecordJson(job, result.recordBuilt);
  if (result.outcome == WRITE_OPEN_FAILED) {
    std::string text = OpenFailureText(*job, result);
    JsonAdd(&job->run.result, "detail", JsonString(text));
    if (!job->run.options.json) PrintProblem(text);
  }
  if (!job->run.options.json && result.outcome == WRITE_STORED) PrintLine("stored on " + job->port);
  return Finish(job, name.key, result.outcome == WRITE_STORED, name.exitCode);
}

int WriteToPort(WriteJob* job) {
  std::u16string port;
  Utf8ToUtf16(PortNameForSequence(job->port), &port);
  job->run.frontEnd.portText = port;
  WriteResult result = RunWriteSequence(&job->run.frontEnd, job->action);
  if (result.recordBuilt) job->record = result.record;
  KeepState(job, result);
  return ReportWrite(job, result);
}

}  // namespace

int RunWrite(const CliOptions& options) {
  WriteJob job;
  job.searched = false;
  StartRun(options, &job.run);
  job.action = options.command == CLI_FACTORY_DEFAULT ? WRITE_ACTION_FACTORY_DEFAULT : WRITE_ACTION_WRITE;
  JsonAdd(&job.run.result, "command", JsonString(options.command == CLI_WRITE ? "write" : "factory-default"));
  job.stateDir = options.stateDir.empty() ? DefaultStateDir() : options.stateDir;
  job.record = RecordToSend(&job.run, job.action);
  job.port = options.port;
  if (options.check) return ReportCheck(&job);
  // Known without probing: the port given, else the configured one.
  std::string known = !options.ifChanged ? "" : job.port.empty() ? ConfiguredPort() : job.port;
  if (!known.empty() && HoldsRecord(&job, known)) {
    job.port = known;
    return FinishUnchanged(&job);
  }
  if (job.port.empty()) {
    job.searched = true;
    job.port = DiscoverPort(&job.run, &job.probes);
  }
  if (job.port.empty()) {
    JsonAdd(&job.run.result, "product_type", "null");
    AddRecordJson(&job, false);
    return Finish(&job, "no_display", false, EXIT_NO_PORT);
  }
  if (options.ifChanged && job.port != known && HoldsRecord(&job, job.port)) return FinishUnchanged(&job);
  return WriteToPort(&job);
}

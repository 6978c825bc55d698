// What every command that talks to a display shares: the run, its hooks and
// how it ends.
#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/outcome_events.h"
#include "job/run_record.h"
#include "protocol/display_protocol.h"
#include "records/record_platform.h"
#include "records/run_platform.h"

namespace {

// An outcome a person reads on standard output; every other one is an error.
bool IsResult(JobOutcome outcome) {
  return outcome == OUTCOME_STORED || outcome == OUTCOME_UNCHANGED || outcome == OUTCOME_WOULD_WRITE ||
         outcome == OUTCOME_FOUND || outcome == OUTCOME_LEFT_ALONE || outcome == OUTCOME_VALID ||
         outcome == OUTCOME_FORGOTTEN;
}

void PrintHuman(const CliRun& run) {
  for (const std::string& note : run.report.notes) PrintNote(note);
  for (const std::string& warning : run.report.warnings) PrintWarning(warning);
  if (IsResult(run.report.outcome)) PrintResult(run.report.text);
  else PrintError(run.report.text);
  if (StopRequested() && run.report.outcome != OUTCOME_INTERRUPTED)
    PrintError("stopped by signal " + std::to_string(StopSignal()) + " once the exchange had ended");
}

// A run that may have changed what a display holds, or found why not: the
// fleet learns of it. --check and --validate change nothing.
bool IsRecorded(const char* command, const CliOptions& options) {
  std::string name = command;
  bool writes = name == "write" || name == "factory-default" || name == "apply";
  return writes && !options.check && !options.validate;
}

// --metrics-file, else the collector's file where its directory exists.
std::string MetricsFileOf(const CliOptions& options) {
  if (!options.metricsFile.empty()) return options.metricsFile;
  return DirectoryExists(DefaultMetricsDir()) ? PathIn(DefaultMetricsDir(), "vfdstartup.prom") : "";
}

}  // namespace

RunRecordPlaces RecordPlacesOf(const CliOptions& options) {
  return RunRecordPlaces{options.stateDir.empty() ? DefaultStateDir() : options.stateDir, MetricsFileOf(options),
                         JournalSocketPath()};
}

void StartRun(const CliOptions& options, CliRun* run) {
  run->options = options;
  ResetConsoleFrontEnd(&run->frontEnd);
  run->frontEnd.onBox = PrintBox;
  run->report = JobReport();
}

JobHooks ConsoleHooks() { return JobHooks{StopRequested, ExchangeBegins, ExchangeEnds, ShowWaiting, nullptr}; }

MessageRows RowsOf(const CliOptions& options) {
  std::u16string rows[2] = {DefaultRow0Text, DefaultRow1Text};
  for (int row = 0; row < 2; ++row)
    if (options.rowGiven[row]) rows[row] = options.rows[row];
  RowMode mode = RowMode((options.strict ? ROWS_STRICT : 0) | (options.noTransliterate ? ROWS_DIALOG_CUT : 0));
  return PrepareMessageRows(rows, mode);
}

int FinishRun(const char* command, CliRun* run) {
  bool recorded = IsRecorded(command, run->options);
  RunRecordPlaces places = RecordPlacesOf(run->options);
  if (recorded) RecordRun(places, command, &run->report);
  run->report.source = run->options.source;
  // apply is the run a service or a task makes unattended: its outcome is
  // also one event in the Windows Application log (--validate's is not).
  if (std::string(command) == "apply" && !run->options.validate) WriteOutcomeEvent(run->report);
  if (run->options.json) PrintJson(ReportJson(command, run->report, run->frontEnd.messages, StopRequested()));
  else PrintHuman(*run);
  std::fflush(stdout);
  std::fflush(stderr);
  if (recorded) TellJournal(places, command, run->report);
  return ExitCodeOf(run->report, StopSignal());
}

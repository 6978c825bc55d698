// What every command that talks to a display shares: the run, its hooks and
// how it ends.
#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/outcome_events.h"
#include "protocol/display_protocol.h"

namespace {

// An outcome a person reads on standard output; every other one is an error.
bool IsResult(JobOutcome outcome) {
  return outcome == OUTCOME_STORED || outcome == OUTCOME_UNCHANGED || outcome == OUTCOME_WOULD_WRITE ||
         outcome == OUTCOME_FOUND || outcome == OUTCOME_LEFT_ALONE || outcome == OUTCOME_VALID;
}

void PrintHuman(const CliRun& run) {
  for (const std::string& warning : run.report.warnings) PrintWarning(warning);
  if (IsResult(run.report.outcome)) PrintResult(run.report.text);
  else PrintError(run.report.text);
  if (StopRequested() && run.report.outcome != OUTCOME_INTERRUPTED)
    PrintError("stopped by signal " + std::to_string(StopSignal()) + " once the exchange had ended");
}

}  // namespace

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
  run->report.source = run->options.source;
  // apply is the run a service or a task makes unattended: its outcome is
  // also one event in the Windows Application log (--validate's is not).
  if (std::string(command) == "apply" && !run->options.validate) WriteOutcomeEvent(run->report);
  if (run->options.json) PrintJson(ReportJson(command, run->report, run->frontEnd.messages, StopRequested()));
  else PrintHuman(*run);
  return ExitCodeOf(run->report, StopSignal());
}

// find: every port the dialog would try, probed side by side, and the one
// a write would use.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "text/utf_convert.h"

namespace {

void PrintCandidates(const JobReport& report) {
  for (const Candidate& candidate : report.candidates) {
    PortReason reason = ReasonOfVerdict(candidate.verdict);
    PrintResult(ReasonText(reason, BytesFromUtf16(candidate.port.name), candidate.detail));
  }
}

}  // namespace

int RunFind(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  RunFindJob(options.port, ConsoleHooks(), &run.report);
  // With --port a failure's error line is the port's own line: once is enough.
  bool saidByTheError = !options.port.empty() && run.report.outcome != OUTCOME_FOUND;
  if (!options.json && !saidByTheError) PrintCandidates(run.report);
  if (run.report.outcome == OUTCOME_FOUND)
    run.report.text = "write would use " + BytesFromUtf16(run.report.port.name);
  return FinishRun("find", &run);
}

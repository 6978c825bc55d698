// forget: what is kept of a port's display goes, and the metrics file is
// made again without it. Exit 0 also when nothing was kept of it.
#include "cli/cli_commands.h"
#include "job/forget_job.h"

int RunForget(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  RunRecordPlaces places = RecordPlacesOf(options);
  RunForgetJob(options.port, places.stateDir, &run.report);
  if (run.report.outcome == OUTCOME_FORGOTTEN) RewriteMetrics(places, &run.report.warnings);
  return FinishRun("forget", &run);
}

// write and factory-default: the rows as the module will hold them, then
// the job (search, kept state, exchange) with the console as its front end.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "records/record_platform.h"

namespace {

WriteJobRequest RequestOf(const CliOptions& options, const MessageRows& rows) {
  WriteJobRequest request;
  bool factory = options.command == CLI_FACTORY_DEFAULT;
  request.action = factory ? WRITE_ACTION_FACTORY_DEFAULT : WRITE_ACTION_WRITE;
  for (int row = 0; row < 2; ++row) request.fields[row] = rows.fields[row];
  request.speedPosition = options.speedPosition;
  request.record = RecordForRows(rows, options.speedPosition, factory);
  request.port = options.port;
  request.stateDir = options.stateDir.empty() ? DefaultStateDir() : options.stateDir;
  request.ifChanged = options.ifChanged;
  request.check = options.check;
  request.hooks = ConsoleHooks();
  return request;
}

}  // namespace

int RunWrite(const CliOptions& options) {
  MessageRows rows = options.command == CLI_WRITE ? RowsOf(options) : MessageRows();
  return RunWriteAs(options, rows, CommandName(options.command), {});
}

int RunWriteAs(const CliOptions& options, const MessageRows& rows, const char* command,
               const std::vector<std::u16string>& among) {
  CliRun run;
  StartRun(options, &run);
  if (!rows.refusal.empty()) {
    ConcludeReport(&run.report, OUTCOME_REFUSED, rows.refusal);
    return FinishRun(command, &run);
  }
  // A person reads what happens to the rows before the wait for the display.
  for (const std::string& warning : rows.warnings) PrintWarning(warning);
  WriteJobRequest request = RequestOf(options, rows);
  request.among = among;
  request.command = command;
  RunWriteJob(request, &run.frontEnd, &run.report);
  if (options.json) run.report.warnings.insert(run.report.warnings.begin(), rows.warnings.begin(), rows.warnings.end());
  return FinishRun(command, &run);
}

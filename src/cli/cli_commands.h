// The console program's commands; each returns the process exit code.
#ifndef VFD_CLI_COMMANDS_H
#define VFD_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/console_frontend.h"
#include "job/display_job.h"
#include "job/message_rows.h"
#include "job/run_record.h"

int RunFind(const CliOptions& options);
int RunWrite(const CliOptions& options);  // write and factory-default
int RunRecord(const CliOptions& options);
int RunPreview(const CliOptions& options);
int RunDescribe(const CliOptions& options);
int RunApply(const CliOptions& options);
int RunStatus(const CliOptions& options);
int RunForget(const CliOptions& options);
// write or factory-default of rows prepared already, under another
// command's name; among: with no port, the only ports to look for the
// display on (empty: the usual ones).
int RunWriteAs(const CliOptions& options, const MessageRows& rows, const char* command,
               const std::vector<std::u16string>& among);

// What a command's run knows: its options, the front end the exchange
// uses, and the job's report. Printing is separate (PrintRun).
struct CliRun {
  CliOptions options;
  FrontEnd frontEnd;
  JobReport report;
};

// The options into a run; boxes are printed as they come.
void StartRun(const CliOptions& options, CliRun* run);
// The hooks of a job run by this program.
JobHooks ConsoleHooks();
// The rows asked for, prepared as the options say.
MessageRows RowsOf(const CliOptions& options);
// Where this program's runs are recorded: the state directory, the metrics
// file, the journal.
RunRecordPlaces RecordPlacesOf(const CliOptions& options);
// The run's outcome for a person (standard output or error) or as JSON,
// after the run is recorded (write, factory-default and apply); returns the
// exit code.
int FinishRun(const char* command, CliRun* run);

#endif  // VFD_CLI_COMMANDS_H

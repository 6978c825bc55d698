// The console program's commands; each returns the process exit code.
#ifndef VFD_CLI_COMMANDS_H
#define VFD_CLI_COMMANDS_H

#include <string>

#include "cli/cli_options.h"
#include "cli/cli_output.h"

int RunFind(const CliOptions& options);
int RunWrite(const CliOptions& options);  // write and factory-default
int RunRecord(const CliOptions& options);
int RunPreview(const CliOptions& options);

// The port the dialog would pick, probing every candidate side by side; the
// candidates and verdicts go into the run's result. Empty when none answered.
std::string DiscoverPort(CliRun* run);

#endif  // VFD_CLI_COMMANDS_H

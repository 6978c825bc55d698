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

struct ProbeRun;

// The port the dialog would pick, probing every candidate side by side, as
// soon as that is certain; empty when none answered. Probes of later
// candidates may still run: AddCandidatesJson waits for them and puts every
// verdict into the result.
std::string DiscoverPort(CliRun* run, ProbeRun* probes);
void AddCandidatesJson(CliRun* run, ProbeRun* probes, int chosen);

#endif  // VFD_CLI_COMMANDS_H

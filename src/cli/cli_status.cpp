// status: what the kept states and the last runs say of each port, without
// opening one. Exit 0 when every port shown had a last run that put the
// message on its display or found it there, or when no message is
// configured (no policy, no message file) and nothing is known of any port;
// 1 otherwise, a message configured but never stored included.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/message_file_platform.h"
#include "cli/message_inputs.h"
#include "protocol/startup_view.h"
#include "records/port_status.h"
#include "records/record_platform.h"
#include "records/run_platform.h"
#include "text/json_text.h"
#include "text/utf_convert.h"

namespace {

std::string KeptLine(const PortStatus& status) {
  if (!status.stateKept) return "  kept: nothing";
  const PortState& state = status.state;
  std::string line = "  kept: " + JsonString(RowTextOf(state.record.bytes, 0)) + " / " +
                     JsonString(RowTextOf(state.record.bytes, 1)) + " at " + SpeedLabelOf(state.record);
  if (state.writtenAt != 0) line += ", stored " + UtcText(state.writtenAt);
  if (!state.command.empty()) line += " by " + state.command;
  return line + (status.stateCounts ? " (counts)" : " (no longer counts: another attachment of the display)");
}

std::string RunLine(const PortStatus& status) {
  if (!status.runKnown) return "  last run: none recorded";
  const LastRun& run = status.run;
  return "  last run: " + run.outcome + " at " + UtcText(run.time) + " by " + run.command + ": " + run.detail;
}

void PrintStatus(const PortStatus& status) {
  bool port = !status.identity.name.empty();
  PrintResult(port ? BytesFromUtf16(status.identity.name) + " (" + status.identity.device + ")" : "(no port reached)");
  if (port) PrintResult(KeptLine(status));
  PrintResult(RunLine(status));
  for (const std::string& problem : status.problems) PrintWarning(problem);
}

}  // namespace

int RunStatus(const CliOptions& options) {
  std::string stateDir = options.stateDir.empty() ? DefaultStateDir() : options.stateDir;
  PortIdentity only;
  if (!options.port.empty()) only = IdentifyPort(options.port);
  std::vector<PortStatus> statuses;
  std::vector<std::string> warnings;
  std::string reason;
  if (!ReadPortStatuses(stateDir, options.port.empty() ? nullptr : &only, &statuses, &reason)) warnings.push_back(reason);
  bool configured = !NothingConfigured(ReadMessageInputs(options.config));
  bool success = StatusSuccess(statuses, warnings, configured);
  if (options.json) {
    PrintJson(StatusJson(stateDir, statuses, warnings, configured));
    return success ? 0 : 1;
  }
  for (const std::string& warning : warnings) PrintWarning(warning);
  std::string file = options.config.empty() ? DefaultMessageFilePath() : options.config;
  std::string unconfigured = "no message is configured (no policy holds one and " + file + " is not there): ";
  if (statuses.empty()) PrintResult((configured ? "" : unconfigured) + "nothing is known of any port in " + stateDir);
  for (const PortStatus& status : statuses) PrintStatus(status);
  return success ? 0 : 1;
}

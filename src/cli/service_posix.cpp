// Linux has no service of this program's own: the systemd units run apply.
#include "cli/cli_output.h"
#include "cli/service_platform.h"
#include "job/outcomes.h"

int RunService(const CliOptions&) {
  PrintError("the service runs on Windows; on Linux the systemd units (vfdstartup-apply.service) run apply");
  return OutcomeRowOf(OUTCOME_USAGE).exitCode;
}

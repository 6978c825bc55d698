// The console program run by the service manager (`vfdstartup-cli service`):
// service_win32.cpp on Windows; on Linux the systemd units run apply, and
// this command says so.
#ifndef VFD_CLI_SERVICE_PLATFORM_H
#define VFD_CLI_SERVICE_PLATFORM_H

#include "cli/cli_options.h"

int RunService(const CliOptions& options);

#endif  // VFD_CLI_SERVICE_PLATFORM_H

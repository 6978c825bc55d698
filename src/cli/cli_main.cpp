#include "cli/cli_main.h"

#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"

#ifndef VFD_VERSION
#define VFD_VERSION "0"
#endif

namespace {

const char HelpText[] =
    "Usage:\n"
    "  vfdstartup-cli find            [--port P] [--json]\n"
    "  vfdstartup-cli write           [--port P] [--row0 TEXT] [--row1 TEXT] [--speed LABEL] [--json]\n"
    "                                 [--state-dir DIR] [--if-changed] [--check]\n"
    "  vfdstartup-cli factory-default [--port P] [--json] [--state-dir DIR] [--if-changed] [--check]\n"
    "  vfdstartup-cli record          [--row0 TEXT] [--row1 TEXT] [--speed LABEL]\n"
    "  vfdstartup-cli preview         [--row0 TEXT] [--row1 TEXT] [--speed LABEL] [--frames N]\n"
    "  vfdstartup-cli --help | --version\n"
    "\n"
    "Sets the startup message of the customer display (a two-row VFD module on a\n"
    "serial port), or puts the factory default back.\n"
    "\n"
    "  find             probe every candidate port and name the one write would use\n"
    "  write            store --row0 (top) and --row1 (bottom) with --speed\n"
    "  factory-default  store the factory default message\n"
    "  record           print the 128-byte record write would send, as hex; opens no port\n"
    "  preview          draw the rows as the module shows them at power-on;\n"
    "                   --frames N prints N scroll steps and stops\n"
    "\n"
    "  --port P         COM3, \\\\.\\COM12, /dev/ttyS0, /dev/serial/by-id/...; without it the\n"
    "                   configured port, then the system's ports, as the dialog tries them\n"
    "  --row0, --row1   UTF-8; cut at the first character the module cannot show\n"
    "                   (ASCII 0x20 to 0x7F), 63 characters at most; defaults: the factory rows\n"
    "  --speed          <10ms, 100ms, 200ms, 300ms (default), 400ms or 500ms per character\n"
    "  --json           one JSON object on standard output\n"
    "  --state-dir DIR  where confirmed records are kept per port (default %s)\n"
    "  --if-changed     send nothing when the kept record for the port is the one to send\n"
    "  --check          report whether a write would change anything; opens no port\n"
    "\n"
    "Environment: VFDSTARTUP_CONF (configuration file with a line port=...; default\n"
    "/etc/vfdstartup.conf on Linux), VFDSTARTUP_PORTS (the ports to look on, blank-separated).\n"
    "\n"
    "Exit codes:\n"
    "  0  the module confirmed the record (or holds it already: unchanged); find: display found\n"
    "  1  the module answered but did not confirm, or is not the accepted product type\n"
    "  2  usage error (unknown option, unknown speed, missing value)\n"
    "  3  no display found, or the port could not be opened (missing, busy, not a serial\n"
    "     device, permission denied)\n"
    "  4  I/O error during the exchange\n";

int ReportUsageError(const std::string& error, bool json) {
  if (json) {
    CliRun run;
    run.options.json = true;
    JsonAdd(&run.result, "outcome", JsonString("usage"));
    JsonAdd(&run.result, "detail", JsonString(error));
    PrintJsonResult(&run);
  } else {
    PrintProblem(error);
    std::fprintf(stderr, "Try 'vfdstartup-cli --help'.\n");
  }
  return EXIT_USAGE;
}

}  // namespace

int RunConsoleProgram(const std::vector<std::string>& args) {
  CliOptions options;
  std::string error;
  bool json = false;
  if (!ParseCliOptions(args, &options, &error, &json)) return ReportUsageError(error, json);
  switch (options.command) {
    case CLI_HELP:
      std::printf(HelpText, DefaultStateDir().c_str());
      return EXIT_STORED;
    case CLI_VERSION:
      std::printf("vfdstartup-cli %s\n", VFD_VERSION);
      return EXIT_STORED;
    case CLI_FIND: return RunFind(options);
    case CLI_RECORD: return RunRecord(options);
    case CLI_PREVIEW: return RunPreview(options);
    default: return RunWrite(options);
  }
}

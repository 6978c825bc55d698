#include "cli/cli_main.h"

#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/message_file_platform.h"
#include "cli/service_platform.h"
#include "job/job_report.h"

#ifndef VFD_VERSION
#define VFD_VERSION "0"
#endif

namespace {

const char About[] =
    "Sets the startup message of the customer display (a two-row VFD module on a\n"
    "serial port), or puts the factory default back.\n"
    "\n"
    "  find             probe every candidate port and name the one write would use\n"
    "  write            store --row0 (top) and --row1 (bottom) with --speed\n"
    "  factory-default  store the factory default message\n"
    "  apply            store the message of the terminal's message file as\n"
    "                   write --if-changed would (see Message file below)\n"
    "  record           print the 128-byte record write would send, as hex; opens no port\n"
    "  preview          draw the rows as the module shows them at power-on;\n"
    "                   --frames N prints N scroll steps and stops\n"
    "  describe         the speeds, the row limit and the outcomes, for tools\n"
    "  status           what is kept of each port and how its last run ended; opens\n"
    "                   no port; exit 0 when every last run stored or found the message,\n"
    "                   or when no message is configured and nothing is kept\n"
    "  forget           drop what is kept of --port P's display (its kept state and\n"
    "                   last run), as a retired display's or a mistyped port's; without\n"
    "                   --port, what runs that reached no port kept\n"
    "  service          Windows: the vfdstartup service, run by the service manager;\n"
    "                   applies at its start, on a policy or message file change and\n"
    "                   when a COM port arrives\n"
    "\n"
    "  --port P         the display's port; without it the program looks for the display\n"
    "  --row0, --row1   the rows, UTF-8, up to 63 characters each (the factory rows when\n"
    "                   not given). The display shows ASCII only: other letters are\n"
    "                   written in ASCII (Cafe for Caf\xC3\xA9, EUR for \xE2\x82\xAC), with a warning\n"
    "  --strict         refuse (exit 2, nothing opened) a row that would not be stored\n"
    "                   exactly as given\n"
    "  --no-transliterate  cut a row at its first character the display cannot show\n"
    "  --speed          <10ms, 100ms, 200ms, 300ms (default), 400ms or 500ms per character\n"
    "  --json           one JSON object on standard output, whatever went wrong\n"
    "  --state-dir DIR  where confirmed records are kept per device\n"
    "  --metrics-file FILE  write, factory-default, apply: rewrite FILE with every\n"
    "                   port's metrics (default: vfdstartup.prom in the metrics\n"
    "                   collector's text file directory, where it exists)\n"
    "  --if-changed     send nothing when the kept record for the device is the one to send\n"
    "  --check          do what a write does (look for the display, open its port, ask\n"
    "                   it into set-up mode and for its product type, leave set-up mode)\n"
    "                   and end as it would, but send no record\n"
    "  -v, --verbose    also show the message boxes of the Windows dialog, and the\n"
    "                   ports a search left out (the consoles, its own terminal)\n"
    "  -q, --quiet      errors only\n"
    "\n"
    "Message file (apply): one key = value per line, UTF-8; # starts a comment.\n"
    "Keys: row0, row1, speed; port (see Ports below) and strict (true or false;\n"
    "also yes or no, 1 or 0) may be left out. A value in double quotes keeps its\n"
    "blanks. Any mistake, an unknown key included, is an error naming the line\n"
    "(exit 2, nothing opened).\n";

const char ApplyOptions[] =
    "  --validate       check the file only; opens no port\n"
    "  --port P         only when the file's port names P's device; otherwise P is\n"
    "                   left alone (exit 0, nothing sent)\n"
    "\n";

const char ExitCodes[] =
    "\n"
    "Exit codes:\n"
    "  0  stored (or, with --if-changed, held already); --check: decided; find: found;\n"
    "     apply: also a port left alone, or --validate: a valid file\n"
    "  1  the display answered but did not confirm, or is another product type\n"
    "  2  usage error, a bad message file, or rows refused by --strict; nothing was\n"
    "     opened\n"
    "  3  no display answered, or the port could not be used (no such port, busy,\n"
    "     not a serial device, no permission, name too long)\n"
    "  4  I/O error during the exchange\n"
    "  5  the kept state could not be dropped, or its directory cannot be trusted;\n"
    "     nothing was sent\n"
    "  128+N  stopped by signal N (the first one); an exchange under way was finished first\n"
    "status: 0 when every port shown had a last run that stored the message or found\n"
    "  it there (stored, unchanged), or when no message is configured and nothing is\n"
    "  known of any port; 1 otherwise (a message configured but never stored too)\n";

void PrintHelp() {
  std::printf("Usage:\n%s\n", UsageLines().c_str());
  std::printf("%s  --config FILE    the message file (default %s); status: whether\n"
              "                   a message is configured\n", About, DefaultMessageFilePath().c_str());
  std::printf("%s%s%s", ApplyOptions, PlatformHelp(), ExitCodes);
}

int ReportUsageError(const CliOptions& options, const std::string& error, bool json) {
  JobReport report;
  ConcludeReport(&report, OUTCOME_USAGE, error);
  if (json) {
    PrintJson(ReportJson(CommandName(options.command), report, {}, false));
  } else {
    PrintError(report.text);
    std::fprintf(stderr, "Try 'vfdstartup-cli --help'.\n");
  }
  return OutcomeRowOf(OUTCOME_USAGE).exitCode;
}

int RunCommand(const CliOptions& options) {
  switch (options.command) {
    case CLI_HELP: PrintHelp(); return 0;
    case CLI_VERSION: std::printf("vfdstartup-cli %s\n", VFD_VERSION); return 0;
    case CLI_FIND: return RunFind(options);
    case CLI_RECORD: return RunRecord(options);
    case CLI_PREVIEW: return RunPreview(options);
    case CLI_DESCRIBE: return RunDescribe(options);
    case CLI_APPLY: return RunApply(options);
    case CLI_STATUS: return RunStatus(options);
    case CLI_FORGET: return RunForget(options);
    case CLI_SERVICE: return RunService(options);
    default: return RunWrite(options);
  }
}

}  // namespace

int RunConsoleProgram(const std::vector<std::string>& args) {
  CliOptions options;
  std::string error;
  bool json = false;
  if (!ParseCliOptions(args, &options, &error, &json)) {
    options.json = json;
    SetOutputMode(options);
    int code = ReportUsageError(options, error, json);
    RestoreConsole();
    return code;
  }
  SetOutputMode(options);
  int code = RunCommand(options);
  std::fflush(stdout);
  RestoreConsole();
  return code;
}

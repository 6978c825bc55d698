// The console program's command line: one command and exactly its options,
// each matched whole from one table. Every mistake is found here, before
// any port is opened.
#ifndef VFD_CLI_OPTIONS_H
#define VFD_CLI_OPTIONS_H

#include <string>
#include <vector>

enum CliCommand {
  CLI_HELP,
  CLI_VERSION,
  CLI_FIND,
  CLI_WRITE,
  CLI_FACTORY_DEFAULT,
  CLI_RECORD,
  CLI_PREVIEW,
  CLI_DESCRIBE,
  CLI_APPLY,
  CLI_STATUS,
  CLI_SERVICE,  // run by the Windows service manager
  CLI_FORGET,
};

struct CliOptions {
  CliCommand command;
  std::u16string port;      // empty: find the display (an empty --port is refused)
  bool rowGiven[2];
  std::u16string rows[2];   // when given
  int speedPosition;        // in the speed list; the dialog's default unless given
  bool json;
  std::string stateDir;     // empty: the platform's default
  bool ifChanged;
  bool check;               // decide as a write would, send no record
  bool strict;              // refuse rows that would not be stored as given
  bool noTransliterate;     // keep the dialog's cut alone
  bool verbose;             // also every message box
  bool quiet;               // errors only
  long frames;              // preview: -1 until interrupted
  std::string config;       // apply: the message file; empty: the platform's default
  bool validate;            // apply: check the file only, open nothing
  std::string metricsFile;  // write, factory-default, apply: empty: the collector's directory, where it exists
  std::string source;       // apply: where the message came from ("policy" or the file's path), for the report
};

// False with a reason for anything the command does not take: an unknown
// command or option, a missing or malformed value, a row that is not UTF-8,
// a speed that is not one of the list's. *json tells whether --json is
// among the arguments, so that every usage error of a tool that asked for
// JSON is answered in JSON.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* options, std::string* error, bool* json);

// The position of a speed: a label's first word ("300ms", "<10ms"; case
// does not matter) or a whole label ("300ms / character"); -1 for none.
int SpeedPositionFor(const std::string& text);

// The command's name as typed ("write"), and the commands with the options
// each takes, one line each, for --help.
const char* CommandName(CliCommand command);
std::string UsageLines();

#endif  // VFD_CLI_OPTIONS_H

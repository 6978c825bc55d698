// The console program's command line: one command and its options. Every
// mistake is found here, before any port is opened.
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
};

struct CliOptions {
  CliCommand command;
  std::string port;         // as given; empty: find the display
  bool rowGiven[2];
  std::u16string rows[2];   // when given
  int speedPosition;        // in the speed list; -1: the dialog's default
  bool json;
  std::string stateDir;     // empty: the platform's default
  bool ifChanged;
  bool check;               // report what would be done, open nothing
  long frames;              // preview: -1 until interrupted
};

// False with a reason for anything the command does not take: an unknown
// command or option, a missing or malformed value, a row that is not UTF-8,
// a speed no label starts with. json tells whether --json was among the
// arguments, so that even a usage error can answer in JSON.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* options, std::string* error,
                     bool* json);

// The position of a speed: the first word of one of the list's labels
// ("300ms", "<10ms", case does not matter) or a whole label; -1 for none.
int SpeedPositionFor(const std::string& text);

#endif  // VFD_CLI_OPTIONS_H

#include "cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "cli/cli_platform.h"
#include "protocol/display_protocol.h"
#include "text/utf_convert.h"

namespace {

enum CommandBit {
  TAKEN_BY_FIND = 1,
  TAKEN_BY_WRITE = 2,
  TAKEN_BY_FACTORY = 4,
  TAKEN_BY_RECORD = 8,
  TAKEN_BY_PREVIEW = 16,
  TAKEN_BY_DESCRIBE = 32,
  TAKEN_BY_APPLY = 64,
  TAKEN_BY_SERVICE = 128,
  TAKEN_BY_STATUS = 256,
  TAKEN_BY_FORGET = 512,
};

const unsigned Exchanges = TAKEN_BY_FIND | TAKEN_BY_WRITE | TAKEN_BY_FACTORY | TAKEN_BY_APPLY;
const unsigned Writes = TAKEN_BY_WRITE | TAKEN_BY_FACTORY;
const unsigned Messages = TAKEN_BY_WRITE | TAKEN_BY_RECORD | TAKEN_BY_PREVIEW;

struct CommandSpec {
  const char* name;
  CliCommand command;
  unsigned bit;
};

const CommandSpec Commands[] = {
    {"find", CLI_FIND, TAKEN_BY_FIND},
    {"write", CLI_WRITE, TAKEN_BY_WRITE},
    {"factory-default", CLI_FACTORY_DEFAULT, TAKEN_BY_FACTORY},
    {"apply", CLI_APPLY, TAKEN_BY_APPLY},
    {"record", CLI_RECORD, TAKEN_BY_RECORD},
    {"preview", CLI_PREVIEW, TAKEN_BY_PREVIEW},
    {"describe", CLI_DESCRIBE, TAKEN_BY_DESCRIBE},
    {"service", CLI_SERVICE, TAKEN_BY_SERVICE},
    {"status", CLI_STATUS, TAKEN_BY_STATUS},
    {"forget", CLI_FORGET, TAKEN_BY_FORGET},
};

typedef bool (*SetOption)(const std::string& value, CliOptions* options, std::string* error);

struct OptionSpec {
  const char* name;       // matched whole
  const char* shortName;  // or null
  const char* valueName;  // null: a flag
  unsigned commands;
  SetOption set;
};

bool SetPort(const std::string& value, CliOptions* options, std::string* error) {
  options->port = PortNameFromArgument(value);
  if (options->port.empty()) *error = "--port takes a port name";
  return !options->port.empty();
}

bool SetRow(int row, const std::string& value, CliOptions* options, std::string* error) {
  if (!Utf8ToUtf16(value, &options->rows[row])) {
    *error = "--row" + std::to_string(row) + " is not valid UTF-8";
    return false;
  }
  options->rowGiven[row] = true;
  return true;
}

bool SetRow0(const std::string& value, CliOptions* options, std::string* error) { return SetRow(0, value, options, error); }
bool SetRow1(const std::string& value, CliOptions* options, std::string* error) { return SetRow(1, value, options, error); }

bool SetSpeed(const std::string& value, CliOptions* options, std::string* error) {
  options->speedPosition = SpeedPositionFor(value);
  if (options->speedPosition < 0) *error = "unknown speed '" + value + "' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)";
  return options->speedPosition >= 0;
}

bool SetStateDir(const std::string& value, CliOptions* options, std::string* error) {
  options->stateDir = value;
  if (value.empty()) *error = "--state-dir takes a directory";
  return !value.empty();
}

bool SetFrames(const std::string& value, CliOptions* options, std::string* error) {
  char* end = nullptr;
  long frames = std::strtol(value.c_str(), &end, 10);
  bool digitsOnly = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0])) && *end == 0;
  if (!digitsOnly || frames < 1 || frames > 1000000) {
    *error = "--frames takes a number of frames from 1 to 1000000";
    return false;
  }
  options->frames = frames;
  return true;
}

bool SetConfig(const std::string& value, CliOptions* options, std::string* error) {
  options->config = value;
  if (value.empty()) *error = "--config takes a file";
  return !value.empty();
}

bool SetMetricsFile(const std::string& value, CliOptions* options, std::string* error) {
  options->metricsFile = value;
  if (value.empty()) *error = "--metrics-file takes a file";
  return !value.empty();
}

bool SetJson(const std::string&, CliOptions* options, std::string*) { return options->json = true; }
bool SetIfChanged(const std::string&, CliOptions* options, std::string*) { return options->ifChanged = true; }
bool SetCheck(const std::string&, CliOptions* options, std::string*) { return options->check = true; }
bool SetStrict(const std::string&, CliOptions* options, std::string*) { return options->strict = true; }
bool SetNoTransliterate(const std::string&, CliOptions* options, std::string*) { return options->noTransliterate = true; }
bool SetVerbose(const std::string&, CliOptions* options, std::string*) { return options->verbose = true; }
bool SetQuiet(const std::string&, CliOptions* options, std::string*) { return options->quiet = true; }
bool SetValidate(const std::string&, CliOptions* options, std::string*) { return options->validate = true; }

const OptionSpec Options[] = {
    {"--port", nullptr, "P", Exchanges | TAKEN_BY_STATUS | TAKEN_BY_FORGET, SetPort},
    {"--row0", nullptr, "TEXT", Messages, SetRow0},
    {"--row1", nullptr, "TEXT", Messages, SetRow1},
    {"--speed", nullptr, "LABEL", Messages, SetSpeed},
    {"--strict", nullptr, nullptr, Messages, SetStrict},
    {"--no-transliterate", nullptr, nullptr, Messages, SetNoTransliterate},
    {"--json", nullptr, nullptr, Exchanges | TAKEN_BY_DESCRIBE | TAKEN_BY_STATUS | TAKEN_BY_FORGET, SetJson},
    {"--config", nullptr, "FILE", TAKEN_BY_APPLY | TAKEN_BY_STATUS, SetConfig},
    {"--validate", nullptr, nullptr, TAKEN_BY_APPLY, SetValidate},
    {"--state-dir", nullptr, "DIR", Writes | TAKEN_BY_APPLY | TAKEN_BY_STATUS | TAKEN_BY_FORGET, SetStateDir},
    {"--metrics-file", nullptr, "FILE", Writes | TAKEN_BY_APPLY | TAKEN_BY_FORGET, SetMetricsFile},
    {"--if-changed", nullptr, nullptr, Writes, SetIfChanged},
    {"--check", nullptr, nullptr, Writes | TAKEN_BY_APPLY, SetCheck},
    {"--verbose", "-v", nullptr, Exchanges, SetVerbose},
    {"--quiet", "-q", nullptr, Exchanges | TAKEN_BY_FORGET, SetQuiet},
    {"--frames", nullptr, "N", TAKEN_BY_PREVIEW, SetFrames},
};

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& command : Commands)
    if (name == command.name) return &command;
  return nullptr;
}

// An option this command takes, by its whole name.
const OptionSpec* FindOption(const CommandSpec& command, const std::string& name) {
  for (const OptionSpec& option : Options) {
    bool named = name == option.name || (option.shortName != nullptr && name == option.shortName);
    if (named && (option.commands & command.bit) != 0) return &option;
  }
  return nullptr;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An argument's option name: "--state-dir" of "--state-dir=/x".
std::string OptionNameOf(const std::string& arg) {
  return arg.compare(0, 2, "--") == 0 ? arg.substr(0, arg.find('=')) : arg;
}

// --name value or --name=value; *next is moved past what was used. A value
// that is itself one of the command's options, with or without its own
// value, means the value is missing (--row0=--port stores a row "--port").
bool ParseOption(const CommandSpec& command, const std::vector<std::string>& args, size_t* next, CliOptions* options,
                 std::string* error) {
  const std::string& arg = args[(*next)++];
  std::string name = OptionNameOf(arg);
  size_t equals = name.size() < arg.size() ? name.size() : std::string::npos;
  const OptionSpec* option = FindOption(command, name);
  if (option == nullptr) {
    *error = "'" + std::string(command.name) + "' takes no option " + arg;
    return false;
  }
  if (option->valueName == nullptr) {
    if (equals == std::string::npos) return option->set("", options, error);
    *error = name + " takes no value";
    return false;
  }
  if (equals != std::string::npos) return option->set(arg.substr(equals + 1), options, error);
  if (*next >= args.size() || FindOption(command, OptionNameOf(args[*next])) != nullptr) {
    *error = name + " needs a value (" + option->valueName + ")";
    return false;
  }
  return option->set(args[(*next)++], options, error);
}

// Whoever writes --json reads the answer as JSON, whatever else is wrong
// with the arguments (--row0=--json is a row, not the option).
bool AsksForJson(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& arg) { return OptionNameOf(arg) == "--json"; });
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

// "[--port P]", "[-v|--verbose]".
std::string UsageEntry(const OptionSpec& option) {
  std::string shown = option.shortName != nullptr ? std::string(option.shortName) + "|" + option.name : option.name;
  return "[" + shown + (option.valueName != nullptr ? std::string(" ") + option.valueName : "") + "]";
}

}  // namespace

int SpeedPositionFor(const std::string& text) {
  std::string wanted = Lower(text);
  for (int position = 0; position < SpeedCount; ++position) {
    std::u16string label = SpeedTable[position].label;
    std::string ascii(label.begin(), label.end());
    std::string firstWord = ascii.substr(0, ascii.find(' '));
    if (wanted == Lower(firstWord) || wanted == Lower(ascii)) return position;
  }
  return -1;
}

const char* CommandName(CliCommand command) {
  for (const CommandSpec& entry : Commands)
    if (entry.command == command) return entry.name;
  return "";
}

std::string UsageLines() {
  std::string lines;
  for (const CommandSpec& command : Commands) {
    std::string line = "  vfdstartup-cli " + std::string(command.name);
    size_t start = std::max<size_t>(line.size() + 1, 33);
    for (const OptionSpec& option : Options) {
      if ((option.commands & command.bit) == 0) continue;
      std::string entry = UsageEntry(option);
      if (line.size() + 1 + entry.size() > 100) {
        lines += line + "\n";
        line = "";
      }
      line.resize(std::max(line.size() + 1, start), ' ');
      line += entry;
    }
    lines += line + "\n";
  }
  return lines + "  vfdstartup-cli --help | --version\n";
}

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* options, std::string* error, bool* json) {
  *options = CliOptions();
  options->speedPosition = SpeedDefaultPosition;
  options->frames = -1;
  *json = AsksForJson(args);
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  // "vfdstartup-cli --help" and "vfdstartup-cli write --help"; neither answers in JSON.
  bool help = IsHelp(args[0]) || (args.size() == 2 && IsHelp(args[1]));
  bool version = args[0] == "--version" && (args.size() == 1 || *json);
  if ((help || version) && *json) {
    *error = std::string(help ? "--help" : "--version") + " takes no --json (describe --json tells tools what they need)";
    return false;
  }
  if (help || version) {
    options->command = help ? CLI_HELP : CLI_VERSION;
    return true;
  }
  const CommandSpec* command = FindCommand(args[0]);
  if (command == nullptr) {
    *error = "unknown command '" + args[0] + "'";
    return false;
  }
  options->command = command->command;
  for (size_t next = 1; next < args.size();)
    if (!ParseOption(*command, args, &next, options, error)) return false;
  if (options->verbose && options->quiet) *error = "--verbose and --quiet do not go together";
  return !(options->verbose && options->quiet);
}

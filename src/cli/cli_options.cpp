#include "cli/cli_options.h"

#include <cctype>
#include <cstdlib>

#include "cli/text_convert.h"
#include "protocol/display_protocol.h"

namespace {

struct CommandName {
  const char* name;
  CliCommand command;
  const char* options;  // the options it takes, each followed by a space
};

const CommandName Commands[] = {
    {"find", CLI_FIND, "--port --json "},
    {"write", CLI_WRITE, "--port --row0 --row1 --speed --json --state-dir --if-changed --check "},
    {"factory-default", CLI_FACTORY_DEFAULT, "--port --json --state-dir --if-changed --check "},
    {"record", CLI_RECORD, "--row0 --row1 --speed "},
    {"preview", CLI_PREVIEW, "--row0 --row1 --speed --frames "},
};

// Options that stand alone; every other one takes a value.
bool IsFlag(const std::string& name) {
  return name == "--json" || name == "--if-changed" || name == "--check";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Takes(const CommandName& command, const std::string& option) {
  return std::string(command.options).find(option + " ") != std::string::npos;
}

// An option of any command, with or without its value: the value that was
// meant to come before it is missing. ("--- SALE ---" is a row, though.)
bool IsOptionName(const std::string& arg) {
  std::string name = arg.substr(0, arg.find('='));
  for (const CommandName& command : Commands)
    if (name.size() > 2 && Takes(command, name)) return true;
  return false;
}

bool SetRow(int row, const std::string& value, CliOptions* options, std::string* error) {
  if (!Utf8ToUtf16(value, &options->rows[row])) {
    *error = "--row" + std::to_string(row) + " is not valid UTF-8";
    return false;
  }
  options->rowGiven[row] = true;
  return true;
}

bool SetFrames(const std::string& value, CliOptions* options, std::string* error) {
  char* end = nullptr;
  long frames = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || frames < 1 || frames > 1000000) {
    *error = "--frames takes a number of frames from 1 up";
    return false;
  }
  options->frames = frames;
  return true;
}

bool SetValue(const std::string& name, const std::string& value, CliOptions* options, std::string* error) {
  if (name == "--port") {
    options->port = value;
    if (value.empty()) *error = "--port takes a port name";
    return !value.empty();
  }
  if (name == "--row0" || name == "--row1") return SetRow(name == "--row0" ? 0 : 1, value, options, error);
  if (name == "--speed") {
    options->speedPosition = SpeedPositionFor(value);
    if (options->speedPosition < 0) *error = "unknown speed '" + value + "' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)";
    return options->speedPosition >= 0;
  }
  if (name == "--state-dir") {
    options->stateDir = value;
    if (value.empty()) *error = "--state-dir takes a directory";
    return !value.empty();
  }
  return SetFrames(value, options, error);
}

void SetFlag(const std::string& name, CliOptions* options) {
  if (name == "--json") options->json = true;
  if (name == "--if-changed") options->ifChanged = true;
  if (name == "--check") options->check = true;
}

// --name value or --name=value; *next is moved past what was used.
bool ParseOption(const CommandName& command, const std::vector<std::string>& args, size_t* next,
                 CliOptions* options, std::string* error) {
  std::string arg = args[(*next)++];
  size_t equals = arg.find('=');
  std::string name = arg.substr(0, equals);
  if (name.compare(0, 2, "--") != 0 || !Takes(command, name)) {
    *error = "'" + std::string(command.name) + "' takes no option " + arg;
    return false;
  }
  if (IsFlag(name)) {
    if (equals != std::string::npos) *error = name + " takes no value";
    SetFlag(name, options);
    return equals == std::string::npos;
  }
  if (equals != std::string::npos) return SetValue(name, arg.substr(equals + 1), options, error);
  if (*next >= args.size() || IsOptionName(args[*next])) {
    *error = name + " needs a value";
    return false;
  }
  return SetValue(name, args[(*next)++], options, error);
}

bool HasJson(const std::vector<std::string>& args) {
  for (const std::string& arg : args)
    if (arg == "--json") return true;
  return false;
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

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions* options, std::string* error,
                     bool* json) {
  *options = CliOptions();
  options->speedPosition = -1;
  options->frames = -1;
  *json = HasJson(args);
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    options->command = CLI_HELP;
    return true;
  }
  if (args.size() == 1 && args[0] == "--version") {
    options->command = CLI_VERSION;
    return true;
  }
  for (const CommandName& command : Commands) {
    if (args[0] != command.name) continue;
    options->command = command.command;
    for (size_t next = 1; next < args.size();)
      if (!ParseOption(command, args, &next, options, error)) return false;
    return true;
  }
  *error = "unknown command '" + args[0] + "'";
  return false;
}

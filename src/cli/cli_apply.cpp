// apply: the terminal's own message, stored as `write --if-changed` stores a
// message. The message is the machine's policy when its key holds the rows
// (message_policy.h), else the message file; --config names a file to read
// instead of either. What the file names is the only place it goes: a --port
// (the hot-plug path's) is taken only when the file's port names that
// device, so a receipt printer or a scanner plugged in on a USB adapter
// never receives the set-up commands.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/message_file.h"
#include "cli/message_file_platform.h"
#include "cli/message_policy.h"
#include "text/utf_convert.h"

namespace {

const char Command[] = "apply";

std::string LineOf(const std::string& path, const MessageFile& file, MessageKey key) {
  return PlaceOf(path, file, key);
}

// The message's source as a line names it.
std::string SourceText(const std::string& path, const MessageFile& file) {
  return file.fromPolicy ? std::string("the policy ") + PolicyKeyName : path;
}

// The policy's message when its key holds the rows (*source "policy"),
// else the file's (*source its path). False with why.
bool ReadMessage(const std::string& config, std::string* source, MessageFile* file, std::string* error) {
  MessagePolicy policy;
  if (config.empty() && !ReadMessagePolicy(&policy, error)) return false;
  if (config.empty() && PolicyHoldsMessage(policy)) {
    *source = PolicySourceName;
    return ParseMessagePolicy(policy, file, error);
  }
  *source = config.empty() ? DefaultMessageFilePath() : config;
  std::string text;
  return ReadMessageFileText(*source, &text, error) && ParseMessageFile(*source, text, file, error);
}

// The message read and its rows prepared as its strict setting says; false
// with the run concluded (a refused row names its line or value).
bool LoadMessage(const std::string& config, CliRun* run, std::string* path, MessageFile* file, MessageRows* rows) {
  std::string error;
  bool read = ReadMessage(config, path, file, &error);
  run->options.source = *path;
  if (!read) {
    ConcludeReport(&run->report, OUTCOME_BAD_CONFIG, error);
    return false;
  }
  *rows = PrepareMessageRows(file->rows, file->strict ? ROWS_STRICT : ROWS_TRANSLITERATE);
  if (rows->refusal.empty()) return true;
  MessageKey refused = rows->stored[0] != file->rows[0] ? MESSAGE_ROW0 : MESSAGE_ROW1;
  ConcludeReport(&run->report, OUTCOME_REFUSED, LineOf(*path, *file, refused) + ": " + rows->refusal);
  return false;
}

bool LeaveAlone(const std::u16string& port, const std::string& why, CliRun* run) {
  ConcludeReport(&run->report, OUTCOME_LEFT_ALONE, BytesFromUtf16(port) + " " + why);
  run->report.port = IdentifyPort(port);
  return false;
}

// The port the file names that is the given port's device, or false with
// the run concluded.
bool TakeGivenPort(const std::string& path, const MessageFile& file, CliRun* run, std::u16string* port) {
  const std::u16string& given = run->options.port;
  if (file.port.empty()) return LeaveAlone(given, "(" + SourceText(path, file) + " names no port)", run);
  std::string device = IdentifyPort(given).device;
  for (const std::u16string& named : PortsOfSetting(file.port)) {
    if (IdentifyPort(named).device != device) continue;
    *port = named;
    return true;
  }
  return LeaveAlone(given, "(not the port " + file.port + " of " + LineOf(path, file, MESSAGE_PORT) + ")", run);
}

// Where the message goes: the port the file names, the one of them given
// with --port, every match of its pattern to look among, or, without a port
// line, wherever write looks. False with the run concluded.
bool ChoosePorts(const std::string& path, const MessageFile& file, CliRun* run, std::u16string* port,
                 std::vector<std::u16string>* among) {
  if (!run->options.port.empty()) return TakeGivenPort(path, file, run, port);
  if (file.port.empty()) return true;
  std::vector<std::u16string> named = PortsOfSetting(file.port);
  if (named.empty()) {
    ConcludeReport(&run->report, OUTCOME_NO_DISPLAY,
                   "no port matches " + file.port + " (" + LineOf(path, file, MESSAGE_PORT) + ")");
    return false;
  }
  if (named.size() == 1) *port = named[0];
  else *among = named;
  return true;
}

int FinishValid(const std::string& path, const MessageFile& file, const MessageRows& rows, CliRun* run) {
  std::string what = SourceText(path, file) + (file.fromPolicy ? " holds a valid message" : " is a valid message file");
  ConcludeReport(&run->report, OUTCOME_VALID, what);
  run->report.record = RecordForRows(rows, file.speedPosition, false);
  run->report.warnings = rows.warnings;
  return FinishRun(Command, run);
}

// The options of the write that stores the file's rows and makes the
// decision.
CliOptions AsWrite(const CliOptions& options, const MessageFile& file) {
  CliOptions write = options;  // with the message's source
  write.command = CLI_WRITE;
  write.speedPosition = file.speedPosition;
  write.ifChanged = true;
  write.port.clear();
  return write;
}

}  // namespace

int RunApply(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  if (options.validate && (options.check || !options.port.empty())) {
    ConcludeReport(&run.report, OUTCOME_USAGE, "--validate looks at the file only: it takes neither --port nor --check");
    return FinishRun(Command, &run);
  }
  std::string path;
  MessageFile file;
  MessageRows rows;
  if (!LoadMessage(options.config, &run, &path, &file, &rows)) return FinishRun(Command, &run);
  if (options.validate) return FinishValid(path, file, rows, &run);
  CliOptions write = AsWrite(run.options, file);
  std::vector<std::u16string> among;
  if (!ChoosePorts(path, file, &run, &write.port, &among)) {
    run.report.record = RecordForRows(rows, file.speedPosition, false);  // what was left unsent
    return FinishRun(Command, &run);
  }
  return RunWriteAs(write, rows, Command, among);
}

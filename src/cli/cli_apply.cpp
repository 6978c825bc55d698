// apply: the terminal's own message file, stored as `write --if-changed`
// stores a message. What the file names is the only place it goes: a --port
// (the hot-plug path's) is taken only when the file's port names that
// device, so a receipt printer or a scanner plugged in on a USB adapter
// never receives the set-up commands.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/message_file.h"
#include "cli/message_file_platform.h"
#include "text/utf_convert.h"

namespace {

const char Command[] = "apply";

std::string LineOf(const std::string& path, const MessageFile& file, MessageKey key) {
  return path + ":" + std::to_string(file.lineOf[key]);
}

// The file read and its rows prepared as its strict line says; false with
// the run concluded (a refused row names its line).
bool LoadMessage(const std::string& path, CliRun* run, MessageFile* file, MessageRows* rows) {
  std::string text, error;
  if (!ReadMessageFileText(path, &text, &error) || !ParseMessageFile(path, text, file, &error)) {
    ConcludeReport(&run->report, OUTCOME_BAD_CONFIG, error);
    return false;
  }
  *rows = PrepareMessageRows(file->rows, file->strict ? ROWS_STRICT : ROWS_TRANSLITERATE);
  if (rows->refusal.empty()) return true;
  MessageKey refused = rows->stored[0] != file->rows[0] ? MESSAGE_ROW0 : MESSAGE_ROW1;
  ConcludeReport(&run->report, OUTCOME_REFUSED, LineOf(path, *file, refused) + ": " + rows->refusal);
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
  if (file.port.empty()) return LeaveAlone(given, "(" + path + " names no port)", run);
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
  ConcludeReport(&run->report, OUTCOME_VALID, path);
  run->report.record = RecordForRows(rows, file.speedPosition, false);
  run->report.warnings = rows.warnings;
  return FinishRun(Command, run);
}

// The options of the write that stores the file's rows and makes the
// decision.
CliOptions AsWrite(const CliOptions& options, const MessageFile& file) {
  CliOptions write = options;
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
  std::string path = options.config.empty() ? DefaultMessageFilePath() : options.config;
  MessageFile file;
  MessageRows rows;
  if (!LoadMessage(path, &run, &file, &rows)) return FinishRun(Command, &run);
  if (options.validate) return FinishValid(path, file, rows, &run);
  CliOptions write = AsWrite(options, file);
  std::vector<std::u16string> among;
  if (!ChoosePorts(path, file, &run, &write.port, &among)) {
    run.report.record = RecordForRows(rows, file.speedPosition, false);  // what was left unsent
    return FinishRun(Command, &run);
  }
  return RunWriteAs(write, rows, Command, among);
}

// ParseCliOptions on any command line, and the record the rows of a command
// line that is taken give.
//
// Input: the arguments after the program's name, each ended by a NUL (the
// last one by the input's end), as the kernel hands them over.
//
// A command line that is taken holds values within their limits and says
// the same when written again with every value as --name=value; its rows
// give a record whose rows are at most 63 characters the module shows, and
// strict rows are stored as given. One that is refused says why.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "fuzz_support.h"
#include "job/message_rows.h"
#include "protocol_expected.h"
#include "text/utf_convert.h"

namespace {

struct CommandWord {
  CliCommand command;
  const char* word;
  bool takesRows;
};

const CommandWord Words[] = {
    {CLI_FIND, "find", false},     {CLI_WRITE, "write", true},        {CLI_FACTORY_DEFAULT, "factory-default", false},
    {CLI_RECORD, "record", true},  {CLI_PREVIEW, "preview", true},    {CLI_DESCRIBE, "describe", false},
    {CLI_APPLY, "apply", false},   {CLI_STATUS, "status", false},     {CLI_SERVICE, "service", false},
    {CLI_FORGET, "forget", false},
};

const CommandWord* WordOf(CliCommand command) {
  for (const CommandWord& word : Words)
    if (word.command == command) return &word;
  return nullptr;
}

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  if (size == 0) return args;
  std::string all(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(all.substr(start, end - start));
  args.push_back(all.substr(start));
  return args;
}

void AddFlag(bool set, const char* name, std::vector<std::string>* args) {
  if (set) args->push_back(name);
}

// The options written again, each value as --name=value; the speed only
// where it is not the default one (a command without rows takes none).
std::vector<std::string> PlainForm(const CliOptions& options) {
  std::vector<std::string> args = {WordOf(options.command)->word};
  if (!options.port.empty()) args.push_back("--port=" + BytesFromUtf16(options.port));
  for (int row = 0; row < 2; ++row)
    if (options.rowGiven[row]) args.push_back("--row" + std::to_string(row) + "=" + Utf16ToUtf8(options.rows[row]));
  std::string label = expected::SpeedRows[options.speedPosition].label;
  if (options.speedPosition != 3) args.push_back("--speed=" + label);
  if (!options.stateDir.empty()) args.push_back("--state-dir=" + options.stateDir);
  if (!options.config.empty()) args.push_back("--config=" + options.config);
  if (!options.metricsFile.empty()) args.push_back("--metrics-file=" + options.metricsFile);
  if (options.frames != -1) args.push_back("--frames=" + std::to_string(options.frames));
  AddFlag(options.json, "--json", &args);
  AddFlag(options.ifChanged, "--if-changed", &args);
  AddFlag(options.check, "--check", &args);
  AddFlag(options.strict, "--strict", &args);
  AddFlag(options.noTransliterate, "--no-transliterate", &args);
  AddFlag(options.verbose, "--verbose", &args);
  AddFlag(options.quiet, "--quiet", &args);
  AddFlag(options.validate, "--validate", &args);
  return args;
}

bool SameOptions(const CliOptions& a, const CliOptions& b) {
  return a.command == b.command && a.port == b.port && a.rowGiven[0] == b.rowGiven[0] &&
         a.rowGiven[1] == b.rowGiven[1] && a.rows[0] == b.rows[0] && a.rows[1] == b.rows[1] &&
         a.speedPosition == b.speedPosition && a.json == b.json && a.stateDir == b.stateDir &&
         a.ifChanged == b.ifChanged && a.check == b.check && a.strict == b.strict &&
         a.noTransliterate == b.noTransliterate && a.verbose == b.verbose && a.quiet == b.quiet &&
         a.frames == b.frames && a.config == b.config && a.validate == b.validate && a.metricsFile == b.metricsFile;
}

std::string Shown(const std::vector<std::string>& args) {
  std::string shown;
  for (const std::string& arg : args) shown += " [" + arg + "]";
  return shown;
}

// The rows given (empty where none was) as the record will hold them.
void CheckRecord(const CliOptions& options) {
  int mode = (options.strict ? ROWS_STRICT : 0) | (options.noTransliterate ? ROWS_DIALOG_CUT : 0);
  MessageRows rows = PrepareMessageRows(options.rows, RowMode(mode));
  if (!rows.refusal.empty()) {
    FUZZ_CHECK(options.strict, "rows refused without --strict: " + rows.refusal);
    return;
  }
  StartupMessageRecord record = RecordForRows(rows, options.speedPosition, false);
  for (int row = 0; row < 2; ++row) {
    const BYTE* bytes = record.bytes + row * expected::RowSize;
    const std::u16string& stored = rows.stored[row];
    FUZZ_CHECK(bytes[0] == expected::SpeedRows[options.speedPosition].code, "wrong speed code");
    FUZZ_CHECK(stored.size() <= expected::RowTextMax, "row longer than 63 characters");
    for (size_t i = 0; i < expected::RowTextMax; ++i) {
      BYTE want = i < stored.size() ? static_cast<BYTE>(stored[i]) : 0;
      FUZZ_CHECK(i >= stored.size() || (stored[i] >= 0x20 && stored[i] <= 0x7F), "row holds a character not shown");
      FUZZ_CHECK(bytes[1 + i] == want, "record row " + std::to_string(row) + " is not the stored text");
    }
    if (options.strict) FUZZ_CHECK(stored == options.rows[row], "a strict row is not stored as given");
  }
}

void CheckTaken(const std::vector<std::string>& args, const CliOptions& options) {
  if (options.command == CLI_HELP || options.command == CLI_VERSION) return;
  const CommandWord* word = WordOf(options.command);
  FUZZ_CHECK(word != nullptr && !args.empty() && args[0] == word->word, "command is not the first argument");
  FUZZ_CHECK(options.speedPosition >= 0 && options.speedPosition < static_cast<int>(expected::SpeedRowCount),
             "speed position out of the list");
  FUZZ_CHECK(options.frames == -1 || (options.frames >= 1 && options.frames <= 1000000), "frames out of range");
  FUZZ_CHECK(!(options.verbose && options.quiet), "--verbose with --quiet taken");
  FUZZ_CHECK(word->takesRows || (!options.rowGiven[0] && !options.rowGiven[1]), "rows for a command without rows");
  std::vector<std::string> plain = PlainForm(options);
  CliOptions again;
  std::string error;
  bool json = false;
  FUZZ_CHECK(ParseCliOptions(plain, &again, &error, &json), "written again, refused: " + error + Shown(plain));
  FUZZ_CHECK(SameOptions(options, again), "written again, it says something else:" + Shown(plain));
  if (word->takesRows) CheckRecord(options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = SplitArguments(data, size);
  CliOptions options;
  std::string error;
  bool json = false;
  bool taken = ParseCliOptions(args, &options, &error, &json);
  if (IsVerbose()) std::fprintf(stderr, "%s%s\n", taken ? "taken:" : error.c_str(), Shown(args).c_str());
  if (taken) CheckTaken(args, options);
  else FUZZ_CHECK(!error.empty(), "refused without a reason");
  return 0;
}

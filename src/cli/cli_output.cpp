#include "cli/cli_output.h"

#include <cstdio>

#include "cli/text_convert.h"
#include "protocol/display_protocol.h"

namespace {

void WarnOfLongRow(CliRun* run, int row) {
  const std::u16string& text = run->frontEnd.rowText[row];
  if (text.size() <= RowTextMax) return;
  Warn(run, "row " + std::to_string(row) + " has " + std::to_string(text.size()) +
                " characters; the module keeps the first 63: \"" +
                Utf16ToUtf8(text.substr(0, RowTextMax)) + "\"");
}

}  // namespace

void StartRun(const CliOptions& options, CliRun* run) {
  run->options = options;
  ResetConsoleFrontEnd(&run->frontEnd);
  for (int row = 0; row < 2; ++row)
    if (options.rowGiven[row]) run->frontEnd.rowText[row] = options.rows[row];
  if (options.speedPosition >= 0) run->frontEnd.speedSelection = options.speedPosition;
  run->frontEnd.echo = options.json ? nullptr : stderr;
  for (int row = 0; row < 2; ++row) WarnOfLongRow(run, row);
}

void Warn(CliRun* run, const std::string& text) {
  run->warnings.push_back(text);
  if (!run->options.json) PrintProblem("warning: " + text);
}

void NoteRowCuts(CliRun* run, const FrontEnd& built) {
  for (int row = 0; row < 2; ++row) {
    if (built.rowText[row] == run->frontEnd.rowText[row]) continue;
    run->warnings.push_back("row " + std::to_string(row) + " cut at a character the display cannot show; kept: \"" +
                            Utf16ToUtf8(built.rowText[row]) + "\"");
  }
}

std::vector<std::string> MessagesJson(const std::vector<ConsoleMessage>& messages) {
  std::vector<std::string> out;
  for (const ConsoleMessage& message : messages) {
    JsonObject entry;
    JsonAdd(&entry, "caption", JsonString(message.caption));
    JsonAdd(&entry, "text", JsonString(message.text));
    out.push_back(JsonRender(entry));
  }
  return out;
}

void PrintJsonResult(CliRun* run) {
  JsonAdd(&run->result, "messages", JsonArray(MessagesJson(run->frontEnd.messages)));
  std::vector<std::string> warnings;
  for (const std::string& warning : run->warnings) warnings.push_back(JsonString(warning));
  JsonAdd(&run->result, "warnings", JsonArray(warnings));
  std::printf("%s\n", JsonRender(run->result).c_str());
  std::fflush(stdout);
}

void PrintLine(const std::string& text) {
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void PrintProblem(const std::string& text) {
  std::fprintf(stderr, "vfdstartup-cli: %s\n", text.c_str());
  std::fflush(stderr);
}

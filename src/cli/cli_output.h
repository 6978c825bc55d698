// What the console's commands share: the fields from the options, warnings,
// the JSON result, and the exit codes.
#ifndef VFD_CLI_OUTPUT_H
#define VFD_CLI_OUTPUT_H

#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/console_frontend.h"
#include "cli/json_text.h"

// Documented in --help and the README.
enum ExitCode {
  EXIT_STORED = 0,       // the module confirmed the record (or holds it already)
  EXIT_NOT_STORED = 1,   // it answered but did not confirm, or is another product type
  EXIT_USAGE = 2,        // a mistake on the command line
  EXIT_NO_PORT = 3,      // no display found, or the port could not be opened
  EXIT_IO_ERROR = 4,     // a read or write failed during the exchange
};

// One command's run: its options, the front end the exchange reads, and
// what it reports.
struct CliRun {
  CliOptions options;
  FrontEnd frontEnd;
  std::vector<std::string> warnings;
  JsonObject result;
};

// The options into the fields (rows, speed); boxes go to standard error
// unless the result is JSON. Warns of rows longer than the module keeps.
void StartRun(const CliOptions& options, CliRun* run);

// A remark that does not stop the run: standard error, and the JSON result.
void Warn(CliRun* run, const std::string& text);

// A row the record building cut at a character the module cannot show (the
// field now holds the kept text, as the dialog's does): a warning in the JSON
// result. On the console the row's box already says so.
void NoteRowCuts(CliRun* run, const FrontEnd& built);

// The result object, with "messages" (every box) and "warnings" added, on
// standard output.
void PrintJsonResult(CliRun* run);

// Human lines: standard output for results, standard error for problems.
void PrintLine(const std::string& text);
void PrintProblem(const std::string& text);

std::vector<std::string> MessagesJson(const std::vector<ConsoleMessage>& messages);

#endif  // VFD_CLI_OUTPUT_H

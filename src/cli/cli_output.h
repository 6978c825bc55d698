// The console program's human output: results on standard output; errors,
// warnings, message boxes and the progress of a wait on standard error.
// The run's settings decide what is shown; printing never ends a run, even
// when standard output or error is gone. Control characters are never
// written raw: a name or a row holding ESC shows it as \x1B.
#ifndef VFD_CLI_OUTPUT_H
#define VFD_CLI_OUTPUT_H

#include <string>

#include "cli/cli_options.h"
#include "job/job_report.h"

// What this run shows: set once from the options.
void SetOutputMode(const CliOptions& options);

void PrintResult(const std::string& line);     // standard output, unless --json or -q
void PrintJson(const std::string& json);       // standard output
void PrintError(const std::string& text);      // "error: text"
void PrintWarning(const std::string& text);    // "warning: text", unless -q or --json
void PrintNote(const std::string& text);       // standard error, with -v only
// A box of the dialog, with -v (by default on Windows): its caption, then its
// text on the same line, line breaks as blanks, trailing blanks dropped.
void PrintBox(const BoxMessage& message);
std::string BoxLine(const BoxMessage& message);

// The progress line on a terminal: what is waited for, how long so far and
// at most in all; replaced by the next one, gone once the wait ends (every
// other line takes its place, never its end). Only when standard error is a
// terminal, and never with --json or -q.
void ShowWaiting(void* context, const std::string& what, unsigned maxSeconds);

#endif  // VFD_CLI_OUTPUT_H

// The console as a front end of the exchange: the fields come from the
// command line, and every box the dialog would show becomes a message, kept
// for the JSON result and, when asked, printed on standard error as one
// line. Only the console program uses this.
#ifndef VFD_CLI_CONSOLE_FRONTEND_H
#define VFD_CLI_CONSOLE_FRONTEND_H

#include <cstdio>
#include <string>
#include <vector>

#include "win_types.h"

// A box as the operator would have read it, in UTF-8.
struct ConsoleMessage {
  std::string caption;
  std::string text;
};

struct FrontEnd {
  std::u16string portText;
  std::u16string rowText[2];
  int speedSelection;
  std::vector<std::u16string> listedPorts;  // names discovery would list
  std::vector<ConsoleMessage> messages;
  FILE* echo;                               // null: keep the messages only
};

// The fields as the dialog starts: the default rows, "300ms / character".
void ResetConsoleFrontEnd(FrontEnd* frontEnd);

// One line: "caption: text", the text's line breaks shown as spaces (a
// caption that ends in a colon is followed by a space only).
std::string MessageLine(const ConsoleMessage& message);

#endif  // VFD_CLI_CONSOLE_FRONTEND_H

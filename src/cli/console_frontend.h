// The console as a front end of the exchange: the fields are set by the job
// from the command line, and every box the dialog would show becomes a
// message, kept for the JSON result and handed to the program as it comes.
// Only the console program uses this.
#ifndef VFD_CLI_CONSOLE_FRONTEND_H
#define VFD_CLI_CONSOLE_FRONTEND_H

#include <string>
#include <vector>

#include "job/job_report.h"
#include "win_types.h"

struct FrontEnd {
  std::u16string portText;
  std::u16string rowText[2];
  int speedSelection;
  std::vector<std::u16string> listedPorts;  // names discovery would list
  std::vector<BoxMessage> messages;
  void (*onBox)(const BoxMessage& message); // null: keep the messages only
};

// The fields as the dialog starts: the default rows, "300ms / character".
void ResetConsoleFrontEnd(FrontEnd* frontEnd);

#endif  // VFD_CLI_CONSOLE_FRONTEND_H

// Each outcome of a run as one event of the Windows Application log (source
// vfdstartup): its event ID, the same in every version (Event Viewer
// filters, Intune and log collectors key on it), and its level. The IDs are
// the message table's (event_messages.mc, compiled into vfdstartup-cli.exe).
#ifndef VFD_CLI_OUTCOME_EVENTS_H
#define VFD_CLI_OUTCOME_EVENTS_H

#include "job/display_job.h"

enum EventLevel { EVENT_INFORMATION, EVENT_WARNING, EVENT_ERROR };

struct OutcomeEvent {
  JobOutcome outcome;
  unsigned id;
  EventLevel level;
};

const OutcomeEvent& OutcomeEventOf(JobOutcome outcome);

// Text from the terminal (a port's name, a row, a path) as an insert that an
// event viewer shows as it is: viewers expand %1, %%1 and the like found in
// an insert too, with no way to escape them, so every % is followed by an
// invisible WORD JOINER (U+2060) that ends any such code.
std::string EventInsertText(const std::string& text);

// Platform: the report as its outcome's event, with the port, the reason and
// the outcome's line as the message's inserts. Nothing on Linux, whose
// service manager keeps the program's output in the journal.
void WriteOutcomeEvent(const JobReport& report);

#endif  // VFD_CLI_OUTCOME_EVENTS_H

#include "cli/outcome_events.h"

namespace {

// Never renumbered: a new outcome takes the next free ID.
const OutcomeEvent Events[] = {
    {OUTCOME_STORED, 1, EVENT_INFORMATION},        {OUTCOME_UNCHANGED, 2, EVENT_INFORMATION},
    {OUTCOME_WOULD_WRITE, 3, EVENT_INFORMATION},   {OUTCOME_FOUND, 4, EVENT_INFORMATION},
    {OUTCOME_NOT_CONFIRMED, 5, EVENT_ERROR},       {OUTCOME_INCOMPATIBLE, 6, EVENT_ERROR},
    {OUTCOME_USAGE, 7, EVENT_ERROR},               {OUTCOME_REFUSED, 8, EVENT_ERROR},
    {OUTCOME_NO_ANSWER, 9, EVENT_ERROR},           {OUTCOME_NO_DISPLAY, 10, EVENT_ERROR},
    {OUTCOME_OPEN_FAILED, 11, EVENT_ERROR},        {OUTCOME_IO_ERROR, 12, EVENT_ERROR},
    {OUTCOME_INTERRUPTED, 13, EVENT_WARNING},      {OUTCOME_LEFT_ALONE, 14, EVENT_INFORMATION},
    {OUTCOME_BAD_CONFIG, 15, EVENT_ERROR},         {OUTCOME_VALID, 16, EVENT_INFORMATION},
    {OUTCOME_STATE_ERROR, 17, EVENT_ERROR},        {OUTCOME_FORGOTTEN, 18, EVENT_INFORMATION},
};

}  // namespace

const OutcomeEvent& OutcomeEventOf(JobOutcome outcome) {
  for (const OutcomeEvent& event : Events)
    if (event.outcome == outcome) return event;
  return Events[OUTCOME_IO_ERROR];
}

std::string EventInsertText(const std::string& text) {
  std::string insert;
  for (char c : text) insert += c == '%' ? std::string("%\xE2\x81\xA0") : std::string(1, c);
  return insert;
}

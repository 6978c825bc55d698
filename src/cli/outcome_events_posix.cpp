// Linux: the journal keeps the program's output; there is no event log.
#include "cli/outcome_events.h"

void WriteOutcomeEvent(const JobReport&) {}

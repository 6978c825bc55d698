// Every outcome of a job and every reason a port could not be used, each
// defined once: its name (the JSON "outcome", "reason" and "verdict"), the
// exit code, and the one line a person reads. The console's output, its JSON
// result, the man page, the README and the fleet module all follow these
// tables.
#ifndef VFD_JOB_OUTCOMES_H
#define VFD_JOB_OUTCOMES_H

#include <string>
#include <vector>

#include "discovery/display_probe.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"

enum JobOutcome {
  OUTCOME_STORED,         // the module confirmed the record
  OUTCOME_UNCHANGED,      // the kept state shows the module holds it already; nothing sent
  OUTCOME_WOULD_WRITE,    // --check: a real run would send the record
  OUTCOME_FOUND,          // find: a display answered
  OUTCOME_NOT_CONFIRMED,  // the module answered, but did not confirm the record (or set-up: nothing sent)
  OUTCOME_INCOMPATIBLE,   // a module of another product type
  OUTCOME_USAGE,          // a mistake on the command line; nothing opened
  OUTCOME_REFUSED,        // --strict: a row would not be stored as given; nothing opened
  OUTCOME_NO_ANSWER,      // no display answered on the port (or on any port searched)
  OUTCOME_NO_DISPLAY,     // a search found no display: no ports, or ports unusable
  OUTCOME_OPEN_FAILED,    // the port could not be used (see the reason)
  OUTCOME_IO_ERROR,       // a read or write failed during the exchange
  OUTCOME_INTERRUPTED,    // stopped by a signal before anything was sent
  OUTCOME_LEFT_ALONE,     // apply --port: not a port the message file names; nothing opened
  OUTCOME_BAD_CONFIG,     // apply: the message file is missing or wrong; nothing opened
  OUTCOME_VALID,          // apply --validate: the message file is sound; nothing opened
  OUTCOME_STATE_ERROR,    // the kept state could not be dropped or cannot be trusted; nothing sent
  OUTCOME_FORGOTTEN,      // forget: nothing is kept of the port's display any more
};

// Exit codes; an interrupted run exits with 128 + the signal's number,
// whatever outcome it reached.
const int ExitInterruptedBase = 128;

struct OutcomeRow {
  JobOutcome outcome;
  const char* name;
  int exitCode;
  const char* text;   // {port}, {product}, {detail} are filled in
};

const OutcomeRow& OutcomeRowOf(JobOutcome outcome);

// A port that could not be used, or a probe's verdict.
enum PortReason {
  REASON_NONE,
  REASON_FOUND,
  REASON_NO_SUCH_PORT,
  REASON_NAME_TOO_LONG,
  REASON_BUSY,
  REASON_NO_PERMISSION,
  REASON_NOT_SERIAL,
  REASON_UNUSABLE,
  REASON_CTS_DOWN,
  REASON_NO_ANSWER,
  REASON_WRONG_ANSWER,
  REASON_STOPPED,
  REASON_TERMINAL_IN_USE,
};

struct ReasonRow {
  PortReason reason;
  const char* name;
  const char* text;   // {port}, {holder}, {group}, {limit}, {wait} are filled in
};

const ReasonRow& ReasonRowOf(PortReason reason);
PortReason ReasonOfVerdict(ProbeVerdict verdict);
PortReason ReasonOfFailure(PortFailure failure);

// One line that names the port and says why, with who holds a busy port
// and which group may open it where the platform knows.
std::string ReasonText(PortReason reason, const std::string& port, const PortOpenDetail& detail);

// The warning for ports used without a lock file of this program's own
// (detail.lockProblem says why).
std::string LockWarningText(const PortOpenDetail& detail);

// A row's text with each {name} replaced by its value, in one pass: braces
// in a value (a port's name, a product type) stay as they are.
struct FillValue {
  const char* name;
  std::string value;
};
std::string FillIn(const std::string& text, const std::vector<FillValue>& values);

#endif  // VFD_JOB_OUTCOMES_H

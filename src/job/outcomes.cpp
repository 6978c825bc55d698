#include "job/outcomes.h"

#include "job/outcome_platform.h"
#include "serial/serial_link.h"

namespace {

// status answers 0 when every port it shows had a last run that ended stored
// or unchanged (IsSuccessOutcome), and 1 otherwise.
const OutcomeRow Outcomes[] = {
    {OUTCOME_STORED, "stored", 0, "stored on {port}"},
    {OUTCOME_UNCHANGED, "unchanged", 0, "unchanged: the display on {port} holds this message already"},
    {OUTCOME_WOULD_WRITE, "would_write", 0, "would write the message to {port}"},
    {OUTCOME_FOUND, "found", 0, "display found on {port}"},
    {OUTCOME_NOT_CONFIRMED, "not_confirmed", 1, "the display on {port} {detail}"},
    {OUTCOME_INCOMPATIBLE, "incompatible", 1,
     "the module on {port} is product type \"{product}\"; only CU20029T307A01 modules are written"},
    {OUTCOME_USAGE, "usage", 2, "{detail}"},
    {OUTCOME_REFUSED, "refused", 2, "{detail}; nothing was sent (--strict)"},
    {OUTCOME_NO_ANSWER, "no_answer", 3, "no display answered on {port} ({detail})"},
    {OUTCOME_NO_DISPLAY, "no_display", 3, "no display found: {detail}"},
    {OUTCOME_OPEN_FAILED, "open_failed", 3, "{detail}"},
    {OUTCOME_IO_ERROR, "io_error", 4, "the exchange with the display on {port} failed: {detail}"},
    {OUTCOME_INTERRUPTED, "interrupted", ExitInterruptedBase, "stopped before anything was sent"},
    {OUTCOME_LEFT_ALONE, "left_alone", 0, "left alone: {detail}"},
    {OUTCOME_BAD_CONFIG, "bad_config", 2, "{detail}"},
    {OUTCOME_VALID, "valid", 0, "{detail}"},
    {OUTCOME_STATE_ERROR, "state_error", 5, "nothing was sent: {detail}"},
    {OUTCOME_FORGOTTEN, "forgotten", 0, "{detail}"},
};

const ReasonRow Reasons[] = {
    {REASON_NONE, "none", "{port}"},
    {REASON_FOUND, "found", "{port}: display found"},
    {REASON_NO_SUCH_PORT, "no_such_port", "{port}: no such port"},
    {REASON_NAME_TOO_LONG, "name_too_long", "{port}: too long for a port name (at most {limit} characters)"},
    {REASON_BUSY, "busy", "{port} is busy: {holder}"},
    {REASON_NO_PERMISSION, "no_permission", "{port}: permission denied: {group}"},
    {REASON_NOT_SERIAL, "not_serial", "{port} is not a serial device"},
    {REASON_UNUSABLE, "unusable", "{port} refused the serial line settings"},
    {REASON_CTS_DOWN, "cts_down", "{port}: no display answered (CTS is down: no display connected, or not powered)"},
    {REASON_NO_ANSWER, "no_answer", "{port}: no display answered ({wait})"},
    {REASON_WRONG_ANSWER, "wrong_answer", "{port}: something answered, but not a display of this kind"},
    {REASON_STOPPED, "stopped", "{port}: not probed to the end (stopped)"},
    {REASON_TERMINAL_IN_USE, "terminal_in_use",
     "{port} is the system console or this program's own terminal, never a display's port"},
};

struct VerdictReason {
  ProbeVerdict verdict;
  PortReason reason;
};

const VerdictReason VerdictReasons[] = {
    {PROBE_FOUND, REASON_FOUND},           {PROBE_MISSING, REASON_NO_SUCH_PORT},
    {PROBE_NAME_TOO_LONG, REASON_NAME_TOO_LONG}, {PROBE_BUSY, REASON_BUSY},
    {PROBE_ACCESS_DENIED, REASON_NO_PERMISSION}, {PROBE_NOT_SERIAL, REASON_NOT_SERIAL},
    {PROBE_UNUSABLE, REASON_UNUSABLE},     {PROBE_CTS_DOWN, REASON_CTS_DOWN},
    {PROBE_NO_ANSWER, REASON_NO_ANSWER},   {PROBE_WRONG_ANSWER, REASON_WRONG_ANSWER},
    {PROBE_STOPPED, REASON_STOPPED},       {PROBE_TERMINAL_IN_USE, REASON_TERMINAL_IN_USE},
};

std::string ProcessText(const PortOpenDetail& detail) {
  if (detail.holderProcessId == 0) return "";
  std::string text = "process " + std::to_string(detail.holderProcessId);
  return detail.holderProgram[0] != 0 ? text + " (" + detail.holderProgram + ")" : text;
}

// Who holds a busy port, as far as the platform could tell.
std::string HolderText(const PortOpenDetail& detail) {
  std::string process = ProcessText(detail);
  if (detail.holderProgram[0] != 0 && ThisProgramName() == detail.holderProgram)
    return "another run of this program (process " + std::to_string(detail.holderProcessId) + ") is using it";
  if (detail.lockFile[0] != 0 && process.empty())
    return "locked by " + std::string(detail.lockFile) +
           ", which names no process this program can tell; if no program uses the port, remove that file";
  if (detail.lockFile[0] != 0) return "locked by " + std::string(detail.lockFile) + " (" + process + ")";
  if (!process.empty()) return "held by " + process;
  return detail.exclusive ? "another program has it in exclusive mode" : BusyPortHint();
}

}  // namespace

std::string FillIn(const std::string& text, const std::vector<FillValue>& values) {
  std::string out;
  size_t at = 0;
  for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', at)) {
    size_t close = text.find('}', open);
    const FillValue* value = nullptr;
    for (const FillValue& candidate : values)
      if (close != std::string::npos && text.compare(open + 1, close - open - 1, candidate.name) == 0) value = &candidate;
    out.append(text, at, open - at);
    out += value != nullptr ? value->value : "{";
    at = value != nullptr ? close + 1 : open + 1;
  }
  return out + text.substr(at);
}

const OutcomeRow& OutcomeRowOf(JobOutcome outcome) {
  for (const OutcomeRow& row : Outcomes)
    if (row.outcome == outcome) return row;
  return Outcomes[OUTCOME_IO_ERROR];
}

const ReasonRow& ReasonRowOf(PortReason reason) {
  for (const ReasonRow& row : Reasons)
    if (row.reason == reason) return row;
  return Reasons[0];
}

PortReason ReasonOfVerdict(ProbeVerdict verdict) {
  for (const VerdictReason& entry : VerdictReasons)
    if (entry.verdict == verdict) return entry.reason;
  return REASON_UNUSABLE;
}

PortReason ReasonOfFailure(PortFailure failure) {
  switch (failure) {
    case PORT_MISSING: return REASON_NO_SUCH_PORT;
    case PORT_BUSY: return REASON_BUSY;
    case PORT_ACCESS_DENIED: return REASON_NO_PERMISSION;
    case PORT_NOT_SERIAL: return REASON_NOT_SERIAL;
    case PORT_NAME_TOO_LONG: return REASON_NAME_TOO_LONG;
    case PORT_TERMINAL_IN_USE: return REASON_TERMINAL_IN_USE;
    case PORT_STOPPED: return REASON_STOPPED;
    default: return REASON_UNUSABLE;
  }
}

std::string ReasonText(PortReason reason, const std::string& port, const PortOpenDetail& detail) {
  return FillIn(ReasonRowOf(reason).text, {{"port", port},
                                           {"holder", HolderText(detail)},
                                           {"group", AccessHint(detail.accessGroup, detail.ownerAndMode)},
                                           {"limit", std::to_string(PortNameLimit())},
                                           {"wait", "waited 5 s"}});
}

std::string LockWarningText(const PortOpenDetail& detail) {
  return "ports used without a lock file (" + std::string(detail.lockProblem) +
         "): other programs are not told they are in use";
}

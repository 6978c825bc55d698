#include "job/forget_job.h"

#include "records/port_records.h"
#include "serial/serial_link.h"
#include "text/utf_convert.h"

namespace {

// A run may hold the port: it is busy, or not this user's to open.
bool MayBeHeld(PortReason reason) { return reason == REASON_BUSY || reason == REASON_NO_PERMISSION; }

// The outcome and its line, about the port (name empty: none).
void ConcludeFor(const PortIdentity& port, JobOutcome outcome, const std::string& detail, JobReport* report) {
  std::vector<std::string> forgotten = report->forgotten;
  ConcludeReport(report, outcome, detail);
  report->port = port;
  report->forgotten = forgotten;
}

// Every record about the display port leads to, or (no name) the record of
// the runs that reached no port.
void Forget(const std::string& stateDir, const PortIdentity& port, JobReport* report) {
  bool named = !port.name.empty();
  std::string what = named ? BytesFromUtf16(port.name) : "the runs that reached no port", reason;
  if (!ForgetDisplayRecords(stateDir, named ? &port : nullptr, &report->forgotten, &reason))
    return ConcludeFor(port, OUTCOME_STATE_ERROR, "not all was forgotten (" + reason + "); " + RecordsHint(stateDir),
                       report);
  std::string done = report->forgotten.empty() ? "nothing was kept of " : "forgot what was kept of ";
  ConcludeFor(port, OUTCOME_FORGOTTEN, done + what, report);
}

}  // namespace

void RunForgetJob(const std::u16string& port, const std::string& stateDir, JobReport* report) {
  ConcludeReport(report, OUTCOME_FORGOTTEN, "");
  std::string untrusted;
  if (!RecordsTrusted(stateDir, &untrusted)) return ConcludeReport(report, OUTCOME_STATE_ERROR, untrusted);
  if (port.empty()) return Forget(stateDir, PortIdentity(), report);
  PortIdentity identity = IdentifyPort(port);
  // A name no port has cannot be held.
  if (!PortNameFits(port.c_str())) return Forget(stateDir, identity, report);
  SerialLink link;
  if (OpenPortToWrite(port.c_str(), &link)) {
    Forget(stateDir, identity, report);
    ClosePort(&link);
    return;
  }
  PortReason why = ReasonOfFailure(ClassifyOpenError(link.lastError));
  if (!MayBeHeld(why)) return Forget(stateDir, identity, report);
  PortOpenDetail detail = {};
  PortGetOpenDetail(&detail);
  ConcludeFor(identity, OUTCOME_OPEN_FAILED, ReasonText(why, BytesFromUtf16(port), detail) + "; nothing was forgotten",
              report);
  report->reason = why;
}

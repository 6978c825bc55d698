#include "job/display_job.h"

#include <algorithm>
#include <vector>

#include "frontend/frontend_ops.h"
#include "job/run_record.h"
#include "records/port_records.h"
#include "serial/port_ops.h"
#include "serial/serial_link.h"
#include "text/utf_convert.h"

namespace {

const unsigned ReplyWaitSeconds = 5;  // 50 empty polls, 100 ms apart
// What a wait lasts at most: a probe, its one answer and the pauses around
// it; an exchange, its three answers (set-up mode, product type,
// confirmation) and the pauses between them.
const unsigned ProbeBoundSeconds = ReplyWaitSeconds + 1;
const unsigned ExchangeBoundSeconds = 3 * ReplyWaitSeconds + 1;

// A name as the user gave it, byte for byte.
std::string NameText(const std::u16string& name) { return BytesFromUtf16(name); }

bool IsStopRequested(const JobHooks& hooks) { return hooks.stopRequested != nullptr && hooks.stopRequested(); }

// what: empty ends the wait.
void Wait(const JobHooks& hooks, const std::string& what, unsigned boundSeconds = 0) {
  if (hooks.waiting != nullptr) hooks.waiting(hooks.context, what, boundSeconds);
}

// The probes run ProbesAtOnce at a time.
unsigned SearchBoundSeconds(size_t ports) {
  return static_cast<unsigned>((ports + ProbesAtOnce - 1) / ProbesAtOnce) * ProbeBoundSeconds;
}

void StartReport(JobReport* report) {
  *report = JobReport();
  report->unseenProcesses = 0;
  report->outcome = OUTCOME_IO_ERROR;
  report->reason = REASON_NONE;
  report->detail = {};
  report->chosen = -1;
  report->record = {};
}

// The outcome and its line; ports: the port names the line gives, when not
// the report's port.
void Conclude(JobReport* report, JobOutcome outcome, const std::string& detail = "", const std::string& ports = "") {
  report->outcome = outcome;
  std::string names = ports.empty() ? NameText(report->port.name) : ports;
  report->text =
      FillIn(OutcomeRowOf(outcome).text, {{"port", names}, {"product", report->productType}, {"detail", detail}});
}

void ConcludeOpenFailed(JobReport* report, PortReason reason, const PortOpenDetail& detail) {
  report->reason = reason;
  report->detail = detail;
  Conclude(report, OUTCOME_OPEN_FAILED, ReasonText(reason, NameText(report->port.name), detail));
}

// ---- the search ---------------------------------------------------------------

std::vector<PortIdentity> SearchCandidates(JobReport* report) {
  PortList list;
  ReadPortList(&list);
  for (const std::string& problem : list.problems) report->warnings.push_back(problem);
  for (const std::u16string& name : list.leftOut)
    report->notes.push_back("not searched: " + ReasonText(REASON_TERMINAL_IN_USE, NameText(name), {}));
  return CandidatePorts(list);
}

std::string SearchWhat(size_t ports) {
  return "looking for the display on " + std::to_string(ports) + (ports == 1 ? " port" : " ports");
}

// The probes side by side; the dialog's choice as soon as it is certain
// (-1: none).
int StartSearchFor(const std::vector<PortIdentity>& ports, const JobHooks& hooks, PortSearch* search) {
  Wait(hooks, SearchWhat(ports.size()), SearchBoundSeconds(ports.size()));
  StartSearch(ports, hooks.stopRequested, ProbesAtOnce, search);
  return WaitForChoice(search, nullptr);
}

void AddWarningOnce(JobReport* report, const std::string& warning) {
  if (std::find(report->warnings.begin(), report->warnings.end(), warning) == report->warnings.end())
    report->warnings.push_back(warning);
}

// Waits for the probes still running; every verdict into the report.
void FinishSearchFor(PortSearch* search, JobReport* report) {
  FinishSearch(search);
  report->candidates = search->candidates;
  for (const Candidate& candidate : report->candidates) {
    if (candidate.detail.lockProblem[0] != 0) AddWarningOnce(report, LockWarningText(candidate.detail));
    report->unseenProcesses = std::max<unsigned>(report->unseenProcesses, candidate.detail.unseenProcesses);
  }
}

bool AllAre(const std::vector<Candidate>& candidates, ProbeVerdict verdict) {
  return std::all_of(candidates.begin(), candidates.end(), [verdict](const Candidate& c) { return c.verdict == verdict; });
}

std::string NamesOf(const std::vector<Candidate>& candidates) {
  std::string names;
  for (const Candidate& candidate : candidates) names += (names.empty() ? "" : ", ") + NameText(candidate.port.name);
  return names;
}

// No display answered anywhere: silence everywhere is the same outcome as a
// silent display on a port that was given; anything else lists each port's
// reason.
std::string NoPortsText(size_t leftOut) {
  std::string text = "no serial ports to look for the display on";
  return leftOut == 0 ? text : text + " (" + std::to_string(leftOut) + " left out; -v says which and why)";
}

void ConcludeNoDisplay(const JobHooks& hooks, JobReport* report) {
  const std::vector<Candidate>& candidates = report->candidates;
  if (IsStopRequested(hooks)) return Conclude(report, OUTCOME_INTERRUPTED);
  if (candidates.empty()) return Conclude(report, OUTCOME_NO_DISPLAY, NoPortsText(report->notes.size()));
  if (AllAre(candidates, PROBE_NO_ANSWER))
    return Conclude(report, OUTCOME_NO_ANSWER, candidates.size() == 1 ? "waited 5 s" : "each waited 5 s",
                    NamesOf(candidates));
  std::string reasons;
  for (const Candidate& c : candidates)
    reasons += (reasons.empty() ? "" : "; ") + ReasonText(ReasonOfVerdict(c.verdict), NameText(c.port.name), c.detail);
  Conclude(report, OUTCOME_NO_DISPLAY, reasons);
}

// A port that was given and not found: as a write on it would end.
void ConcludeGivenPort(const JobHooks& hooks, JobReport* report) {
  const Candidate& only = report->candidates[0];
  report->port = only.port;
  PortReason reason = ReasonOfVerdict(only.verdict);
  bool openFailure = reason == REASON_NO_SUCH_PORT || reason == REASON_NAME_TOO_LONG || reason == REASON_BUSY ||
                     reason == REASON_NO_PERMISSION || reason == REASON_NOT_SERIAL || reason == REASON_TERMINAL_IN_USE;
  if (openFailure) return ConcludeOpenFailed(report, reason, only.detail);
  ConcludeNoDisplay(hooks, report);
}

// ---- the kept state -----------------------------------------------------------

bool SameRecord(const StartupMessageRecord& a, const StartupMessageRecord& b) {
  return std::equal(a.bytes, a.bytes + RecordLength, b.bytes);
}

// What the kept state says the device's module holds, into the report.
void ReadKeptState(const WriteJobRequest& request, const PortIdentity& port, JobReport* report) {
  std::string reason;
  StateRead read = ReadKeptRecord(request.stateDir, port, &report->keptRecord, &reason);
  report->keptKnown = read == STATE_FOUND;
  if (read == STATE_DAMAGED && request.ifChanged) report->warnings.push_back("state unknown (" + reason + "); writing anyway");
}

// The kept state says the module holds the record already.
bool KeptIsRecord(const WriteJobRequest& request, const JobReport& report) {
  return report.keptKnown && SameRecord(report.keptRecord, request.record);
}

// The ports known without probing: the ones the search is limited to, or
// the configured port.
std::vector<PortIdentity> KnownPorts(const std::vector<PortIdentity>& among) {
  if (!among.empty()) return among;
  PortList list;
  ReadPortList(&list);
  if (list.configured.empty()) return {};
  return {IdentifyPort(list.configured)};
}

// --if-changed without a port: the kept state of a port known without
// probing may show its module holds the record already. Anything else the
// state says is read again for the port the search finds.
bool KnownPortHolds(const WriteJobRequest& request, const std::vector<PortIdentity>& among, JobReport* report) {
  for (const PortIdentity& known : KnownPorts(among)) {
    StartupMessageRecord kept;
    std::string reason;
    if (ReadKeptRecord(request.stateDir, known, &kept, &reason) != STATE_FOUND) continue;
    if (!SameRecord(kept, request.record)) continue;
    report->port = known;
    report->keptKnown = report->displayOnRecord = true;  // the kept state is its record
    report->keptRecord = kept;
    return true;
  }
  return false;
}

// A state that could not be dropped (or, for --check, could not be): a run
// that sent the record would leave it naming a record the module no longer
// holds, so nothing is sent.
void ConcludeStateError(const WriteJobRequest& request, const std::string& reason, JobReport* report) {
  Conclude(report, OUTCOME_STATE_ERROR,
           "the kept state could not be dropped (" + reason + "); " + RecordsHint(request.stateDir));
}

// The kept state goes before the port is opened: from then on nobody knows
// what the module holds until it confirms the new record. The last run goes
// with it, so that a run killed during the exchange leaves no success
// behind. --check drops nothing, and fails where a real run could not drop
// it.
bool DropKeptState(const WriteJobRequest& request, const JobReport& report, std::string* reason) {
  if (request.check) return CanDropPortRecords(request.stateDir, report.port, reason);
  return DropPortRecords(request.stateDir, report.port, !request.command.empty(), reason);
}

struct Exchange {
  const WriteJobRequest* request;
  JobReport* report;
};

// Called while the port is still held: the state is on disk before another
// run can reach the module. It names the attachment seen before the port was
// opened: had the device changed in between, the state names an attachment
// that is gone, and the next run writes again.
void KeepConfirmedState(void* context, const WriteResult& result) {
  Exchange* exchange = static_cast<Exchange*>(context);
  JobReport* report = exchange->report;
  std::string reason;
  if (!KeepConfirmedRecord(exchange->request->stateDir, report->port, Utf16ToUtf8(result.productType.text),
                           result.record, exchange->request->command, &reason))
    report->warnings.push_back("state not kept: " + reason);
}

// ---- the exchange -------------------------------------------------------------

void FillFields(const WriteJobRequest& request, FrontEnd* frontEnd, const PortIdentity& port) {
  if (request.action == WRITE_ACTION_WRITE) {
    for (int row = 0; row < 2; ++row) FrontEndSetRowText(frontEnd, row, request.fields[row].c_str());
    FrontEndSetSpeedSelection(frontEnd, request.speedPosition);
  }
  FrontEndSetPortText(frontEnd, port.name.c_str());
}

std::string IoErrorText(const WriteResult& result) {
  return result.readFailed ? "reading from the port failed" : "writing to the port failed or timed out (CTS down?)";
}

void ConcludeExchange(const WriteResult& result, const PortOpenDetail& detail, JobReport* report) {
  report->portAnswered = result.moduleAnswered;
  report->productTypeKnown = result.productTypeKnown;
  report->productType = result.productTypeKnown ? Utf16ToUtf8(result.productType.text) : "";
  report->recordSent = result.recordBuilt;
  if (result.recordBuilt) report->record = result.record;
  report->changed = result.outcome == WRITE_STORED || result.outcome == WRITE_RECORD_HELD;
  switch (result.outcome) {
    case WRITE_STORED: return Conclude(report, OUTCOME_STORED);
    case WRITE_RECORD_HELD: return Conclude(report, OUTCOME_WOULD_WRITE);  // what a real run would report
    case WRITE_INCOMPATIBLE: return Conclude(report, OUTCOME_INCOMPATIBLE);
    case WRITE_NOT_CONFIRMED:
      if (!result.moduleAnswered) return Conclude(report, OUTCOME_NO_ANSWER, "waited 5 s");
      // An answer the sequence could not take ends it before the record.
      return Conclude(report, OUTCOME_NOT_CONFIRMED,
                      result.recordBuilt ? "did not confirm the message; it may hold its old one"
                                         : "did not answer set-up as a display of this kind does; nothing was written, "
                                           "so it holds its old message");
    case WRITE_OPEN_FAILED:
      if (result.portFailure == PORT_STOPPED) return Conclude(report, OUTCOME_INTERRUPTED);
      return ConcludeOpenFailed(report, ReasonOfFailure(result.portFailure), detail);
    default: return Conclude(report, OUTCOME_IO_ERROR, IoErrorText(result));
  }
}

// Called while the port is still held, whatever the exchange came to: the
// port's last run is on disk before another run can reach the module.
void KeepLastRun(void* context, const WriteResult& result) {
  Exchange* exchange = static_cast<Exchange*>(context);
  JobReport* report = exchange->report;
  ConcludeExchange(result, {}, report);
  const std::string& command = exchange->request->command;
  if (!RunKeepsRecord(command, report->searched, report->portAnswered, report->displayOnRecord)) return;
  std::string reason;
  LastRun run = LastRunOf(command, *report);
  if (!KeepPortLastRun(exchange->request->stateDir, run, &reason))
    report->warnings.push_back("last run not kept: " + reason);
  report->lastRunKept = true;  // or tried: once is enough
}

// The exchange a real run makes; --check holds the record back.
void TalkToPort(const WriteJobRequest& request, FrontEnd* frontEnd, JobReport* report) {
  FillFields(request, frontEnd, report->port);
  std::vector<BYTE> receiveBuffer(ReceiveBufferSize);
  Exchange exchange = {&request, report};
  bool recorded = !request.check && !request.command.empty();
  WriteOptions options = {request.check, request.check ? nullptr : KeepConfirmedState, &exchange,
                          recorded ? KeepLastRun : nullptr};
  Wait(request.hooks, "talking to the display on " + NameText(report->port.name), ExchangeBoundSeconds);
  if (request.hooks.exchangeBegins != nullptr) request.hooks.exchangeBegins();
  WriteResult result = RunWriteSequenceWithBuffer(frontEnd, request.action, receiveBuffer.data(), &options);
  PortOpenDetail detail = {};
  if (result.outcome != WRITE_NOTHING_RUN) PortGetOpenDetail(&detail);
  if (detail.lockProblem[0] != 0) AddWarningOnce(report, LockWarningText(detail));
  report->unseenProcesses = std::max<unsigned>(report->unseenProcesses, detail.unseenProcesses);
  if (request.hooks.exchangeEnds != nullptr) request.hooks.exchangeEnds();
  Wait(request.hooks, "");
  ConcludeExchange(result, detail, report);
}

// A real run and --check decide alike and meet the module alike; only a
// real run sends the record.
void DecideAndWrite(const WriteJobRequest& request, FrontEnd* frontEnd, JobReport* report) {
  ReadKeptState(request, report->port, report);
  report->displayOnRecord = !request.command.empty() && DisplayOnRecord(request.stateDir, report->port);
  if (request.ifChanged && KeptIsRecord(request, *report)) return Conclude(report, OUTCOME_UNCHANGED);
  if (IsStopRequested(request.hooks)) return Conclude(report, OUTCOME_INTERRUPTED);
  std::string reason;
  if (!DropKeptState(request, *report, &reason)) return ConcludeStateError(request, reason, report);
  TalkToPort(request, frontEnd, report);
}

}  // namespace

void ConcludeReport(JobReport* report, JobOutcome outcome, const std::string& detail) {
  StartReport(report);
  Conclude(report, outcome, detail);
}

// A stop request ends the look at who holds a port too (POSIX), before the
// port is opened or a record goes.
void RunFindJob(const std::u16string& port, const JobHooks& hooks, JobReport* report) {
  StartReport(report);
  PortSetStopCheck(hooks.stopRequested);
  report->searched = port.empty();
  PortSearch search;
  std::vector<PortIdentity> ports = port.empty() ? SearchCandidates(report) : std::vector<PortIdentity>{IdentifyPort(port)};
  report->chosen = StartSearchFor(ports, hooks, &search);
  FinishSearchFor(&search, report);
  Wait(hooks, "");
  if (report->chosen >= 0) {
    report->port = report->candidates[report->chosen].port;
    return Conclude(report, OUTCOME_FOUND);
  }
  if (!report->searched) return ConcludeGivenPort(hooks, report);
  ConcludeNoDisplay(hooks, report);
}

void RunWriteJob(const WriteJobRequest& request, FrontEnd* frontEnd, JobReport* report) {
  StartReport(report);
  report->record = request.record;
  PortSetStopCheck(request.hooks.stopRequested);
  std::string untrusted;
  if (!RecordsTrusted(request.stateDir, &untrusted)) return Conclude(report, OUTCOME_STATE_ERROR, untrusted);
  if (!request.port.empty()) {
    report->port = IdentifyPort(request.port);
    // Never cut short: a shorter name could be another terminal's port.
    if (!PortNameFits(request.port.c_str())) return ConcludeOpenFailed(report, REASON_NAME_TOO_LONG, {});
    return DecideAndWrite(request, frontEnd, report);
  }
  std::vector<PortIdentity> among = DistinctPorts(request.among);
  if (request.ifChanged && KnownPortHolds(request, among, report)) return Conclude(report, OUTCOME_UNCHANGED);
  report->searched = true;
  // The ports after the chosen one are not waited for: their probes end at
  // their next step while the display is written.
  PortSearch search;
  std::vector<PortIdentity> ports = among.empty() ? SearchCandidates(report) : among;
  report->chosen = StartSearchFor(ports, request.hooks, &search);
  if (report->chosen >= 0) EndSearch(&search);
  Wait(request.hooks, "");
  if (report->chosen >= 0) {
    report->port = search.candidates[report->chosen].port;
    DecideAndWrite(request, frontEnd, report);
  }
  FinishSearchFor(&search, report);
  if (report->chosen < 0) ConcludeNoDisplay(request.hooks, report);
}

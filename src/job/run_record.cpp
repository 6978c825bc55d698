#include "job/run_record.h"


#include "job/job_platform.h"
#include "job/port_status.h"
#include "job/run_exports.h"
#include "job/run_platform.h"
#include "text/utf_convert.h"

namespace {

void Warn(JobReport* report, const std::string& what, const std::string& reason) {
  report->warnings.push_back(what + ": " + reason);
}

// The metrics file from every port's kept state and last run, whole.
void WriteMetrics(const RunRecordPlaces& places, JobReport* report) {
  std::string dir, name, reason;
  SplitPath(places.metricsFile, &dir, &name);
  std::vector<PortStatus> statuses;
  ReadPortStatuses(places.stateDir, nullptr, &statuses, &reason);
  if (!DirectoryExists(dir)) reason = "no directory " + dir;
  else if (ReplaceFileSynced(dir, name, MetricsText(statuses), &reason)) return;
  Warn(report, "metrics not written to " + places.metricsFile, reason);
}

}  // namespace

LastRun LastRunOf(const std::string& command, const JobReport& report, long long now) {
  // A name too long for a port makes too long a file name too: such a run
  // reached no port.
  bool port = !report.port.name.empty() && report.reason != REASON_NAME_TOO_LONG;
  return LastRun{port ? report.port.stateKey : NoPortKey, BytesFromUtf16(report.port.name), command,
                 OutcomeRowOf(report.outcome).name, ReasonRowOf(report.reason).name, report.text, now};
}

void RecordRun(const RunRecordPlaces& places, const std::string& command, JobReport* report) {
  LastRun run = LastRunOf(command, *report, NowSeconds());
  std::string reason;
  // A port left alone is not the display's: nothing is said of it.
  bool display = report->outcome != OUTCOME_LEFT_ALONE;
  if (display && !report->lastRunKept && !WriteLastRun(places.stateDir, run, &reason))
    Warn(report, "last run not kept", reason);
  // A run that reached a port ends what an earlier run that reached none said.
  if (display && !run.stateKey.empty() && !ForgetLastRun(places.stateDir, NoPortKey, &reason))
    Warn(report, "last run without a port not dropped", reason);
  if (!places.metricsFile.empty()) WriteMetrics(places, report);
}

void TellJournal(const RunRecordPlaces& places, const std::string& command, const JobReport& report) {
  if (!places.journalSocket.empty())
    SendJournalDatagram(places.journalSocket, JournalDatagram(LastRunOf(command, report, NowSeconds())));
}

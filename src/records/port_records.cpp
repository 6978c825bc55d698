#include "records/port_records.h"

#include "records/port_status.h"
#include "records/record_platform.h"
#include "records/run_exports.h"
#include "records/run_platform.h"

namespace {

void Warn(std::vector<std::string>* warnings, const std::string& what, const std::string& reason) {
  warnings->push_back(what + ": " + reason);
}

}  // namespace

void KeepLastRunOf(const RunRecordPlaces& places, const LastRun& run, bool keptAlready,
                   std::vector<std::string>* warnings) {
  std::string reason;
  if (!keptAlready && !WriteLastRun(places.stateDir, run, &reason)) Warn(warnings, "last run not kept", reason);
  // A run that reached a port ends what an earlier run that reached none said.
  if (!run.stateKey.empty() && !ForgetLastRun(places.stateDir, NoPortKey, &reason))
    Warn(warnings, "last run without a port not dropped", reason);
}

void RewriteMetrics(const RunRecordPlaces& places, std::vector<std::string>* warnings) {
  if (places.metricsFile.empty()) return;
  std::string dir, name, reason;
  SplitPath(places.metricsFile, &dir, &name);
  std::vector<PortStatus> statuses;
  ReadPortStatuses(places.stateDir, nullptr, &statuses, &reason);
  if (!DirectoryExists(dir)) reason = "no directory " + dir;
  else if (ReplaceFileSynced(dir, name, MetricsText(statuses), &reason)) return;
  Warn(warnings, "metrics not written to " + places.metricsFile, reason);
}

void SendToJournal(const RunRecordPlaces& places, const LastRun& run) {
  if (!places.journalSocket.empty()) SendJournalDatagram(places.journalSocket, JournalDatagram(run));
}

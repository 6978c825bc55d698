#include "records/port_records.h"

#include "records/port_status.h"
#include "records/record_platform.h"
#include "records/run_exports.h"
#include "records/run_platform.h"
#include "text/utf_convert.h"

namespace {

void Warn(std::vector<std::string>* warnings, const std::string& what, const std::string& reason) {
  warnings->push_back(what + ": " + reason);
}

// Every record but the run's own (under key) about the display port leads
// to: its kept state and its last run.
void SupersedeRecords(const std::string& stateDir, const std::string& key, const PortIdentity& port,
                      std::vector<std::string>* warnings) {
  std::vector<PortStatus> records;
  std::string reason;
  ReadPortRecords(stateDir, &records, &reason);
  for (const PortStatus& record : records) {
    if (record.stateKey == key || record.stateKey == NoPortKey || !RecordIsAbout(record, port)) continue;
    if (!ForgetPortState(stateDir, record.stateKey, &reason) || !ForgetLastRun(stateDir, record.stateKey, &reason))
      Warn(warnings, "superseded record not dropped", reason);
  }
}

}  // namespace

bool RecordsTrusted(const std::string& stateDir, std::string* reason) { return StateDirTrusted(stateDir, reason); }

std::string RecordsHint(const std::string& stateDir) { return StateDirHint(stateDir); }

StateRead ReadKeptRecord(const std::string& stateDir, const PortIdentity& port, StartupMessageRecord* record,
                         std::string* reason) {
  PortState state;
  StateRead read = ReadPortState(stateDir, port.stateKey, &state, reason);
  if (read != STATE_FOUND) return read;
  if (!KeptStateCounts(state, port)) return STATE_NONE;
  *record = state.record;
  return STATE_FOUND;
}

bool DropPortRecords(const std::string& stateDir, const PortIdentity& port, bool lastRunToo, std::string* reason) {
  if (!ForgetPortState(stateDir, port.stateKey, reason)) return false;
  return !lastRunToo || ForgetLastRun(stateDir, port.stateKey, reason);
}

bool CanDropPortRecords(const std::string& stateDir, const PortIdentity& port, std::string* reason) {
  return CanForgetPortState(stateDir, port.stateKey, reason);
}

bool KeepConfirmedRecord(const std::string& stateDir, const PortIdentity& port, const std::string& productType,
                         const StartupMessageRecord& record, const std::string& command, std::string* reason) {
  PortState state = {port.stateKey, BytesFromUtf16(port.name), productType, record, port.attachment, NowSeconds(),
                     command};
  return WritePortState(stateDir, state, reason);
}

bool KeepPortLastRun(const std::string& stateDir, LastRun run, std::string* reason) {
  run.time = NowSeconds();
  return WriteLastRun(stateDir, run, reason);
}

bool DisplayOnRecord(const std::string& stateDir, const PortIdentity& port) {
  std::vector<PortStatus> records;
  std::string reason;
  ReadPortRecords(stateDir, &records, &reason);
  for (const PortStatus& record : records)
    if ((record.stateKept || record.runKnown) && RecordIsAbout(record, port)) return true;
  return false;
}

bool ForgetDisplayRecords(const std::string& stateDir, const PortIdentity* port, std::vector<std::string>* forgotten,
                          std::string* reason) {
  std::vector<PortStatus> records;
  if (!ReadPortRecords(stateDir, &records, reason)) return false;
  for (const PortStatus& record : records) {
    bool about = port == nullptr ? record.stateKey == NoPortKey
                                 : record.stateKey != NoPortKey && RecordIsAbout(record, *port);
    if (!about) continue;
    if (!ForgetPortState(stateDir, record.stateKey, reason) || !ForgetLastRun(stateDir, record.stateKey, reason))
      return false;
    forgotten->push_back(record.stateKey);
  }
  return true;
}

void KeepLastRunOf(const RunRecordPlaces& places, const LastRun& run, const PortIdentity& port, bool keptAlready,
                   std::vector<std::string>* warnings) {
  std::string reason;
  if (!keptAlready && !KeepPortLastRun(places.stateDir, run, &reason)) Warn(warnings, "last run not kept", reason);
  if (run.stateKey.empty()) return;
  if (!ForgetLastRun(places.stateDir, NoPortKey, &reason))
    Warn(warnings, "last run without a port not dropped", reason);
  SupersedeRecords(places.stateDir, run.stateKey, port, warnings);
}

bool ForgetRunWithoutPort(const std::string& stateDir, const std::string& command, std::string* reason) {
  LastRun run;
  if (ReadLastRun(stateDir, NoPortKey, &run, reason) != STATE_FOUND || run.command != command) return true;
  return ForgetLastRun(stateDir, NoPortKey, reason);
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

void SendToJournal(const RunRecordPlaces& places, const LastRun& run, unsigned unseenProcesses) {
  if (!places.journalSocket.empty()) SendJournalDatagram(places.journalSocket, JournalDatagram(run, unseenProcesses));
}

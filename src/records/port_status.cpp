#include "records/port_status.h"

#include <set>

#include "protocol/startup_view.h"
#include "records/record_rule.h"
#include "records/run_platform.h"
#include "text/json_text.h"
#include "text/utf_convert.h"

namespace {

// The devices with a state or a last run in the directory.
bool KeysIn(const std::string& stateDir, std::set<std::string>* keys, std::string* reason) {
  std::vector<std::string> names;
  if (!ListDirectory(stateDir, &names, reason)) return false;
  std::string key;
  for (const std::string& name : names)
    if (KeyOfDeviceFileName(name, ".state", &key) || KeyOfDeviceFileName(name, ".last", &key)) keys->insert(key);
  return true;
}

PortStatus StatusOf(const std::string& stateDir, const std::string& key) {
  PortStatus status = {};
  status.stateKey = key;
  std::string reason;
  StateRead state = ReadPortState(stateDir, key, &status.state, &reason);
  if (state == STATE_DAMAGED) status.problems.push_back(reason);
  StateRead run = ReadLastRun(stateDir, key, &status.run, &reason);
  if (run == STATE_DAMAGED) status.problems.push_back(reason);
  status.stateKept = state == STATE_FOUND;
  status.runKnown = run == STATE_FOUND;
  std::string name = status.stateKept ? status.state.port : status.runKnown ? status.run.port : "";
  if (!name.empty()) status.identity = IdentifyPort(Utf16FromBytes(name));
  status.stateCounts = status.stateKept && KeptStateCounts(status.state, status.identity);
  return status;
}

std::string Bool(bool value) { return value ? "true" : "false"; }
std::string TextOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

std::string KeptJson(const PortStatus& status) {
  if (!status.stateKept) return "null";
  const PortState& state = status.state;
  JsonObject kept;
  JsonAdd(&kept, "counts", Bool(status.stateCounts));
  JsonAdd(&kept, "rows", JsonArray({JsonString(RowTextOf(state.record.bytes, 0)), JsonString(RowTextOf(state.record.bytes, 1))}));
  JsonAdd(&kept, "speed", TextOrNull(SpeedLabelOf(state.record)));
  JsonAdd(&kept, "product_type", JsonString(state.productType));
  JsonAdd(&kept, "written_at", state.writtenAt != 0 ? std::to_string(state.writtenAt) : "null");
  JsonAdd(&kept, "command", TextOrNull(state.command));
  return JsonRender(kept);
}

std::string RunJson(const PortStatus& status) {
  if (!status.runKnown) return "null";
  const LastRun& run = status.run;
  JsonObject json;
  JsonAdd(&json, "command", JsonString(run.command));
  JsonAdd(&json, "outcome", JsonString(run.outcome));
  JsonAdd(&json, "success", Bool(IsSuccessOutcome(run.outcome)));
  JsonAdd(&json, "reason", run.reason == "none" ? "null" : JsonString(run.reason));
  JsonAdd(&json, "detail", JsonString(run.detail));
  JsonAdd(&json, "time", std::to_string(run.time));
  return JsonRender(json);
}

std::string StatusEntryJson(const PortStatus& status) {
  JsonObject entry;
  bool port = !status.identity.name.empty();
  JsonAdd(&entry, "port", port ? JsonString(BytesFromUtf16(status.identity.name)) : "null");
  JsonAdd(&entry, "device", port ? JsonString(status.identity.device) : "null");
  JsonAdd(&entry, "state_key", JsonString(status.stateKey));
  JsonAdd(&entry, "kept", KeptJson(status));
  JsonAdd(&entry, "last_run", RunJson(status));
  JsonAdd(&entry, "success", Bool(StatusSucceeded(status)));
  std::vector<std::string> problems;
  for (const std::string& problem : status.problems) problems.push_back(JsonString(problem));
  JsonAdd(&entry, "problems", JsonArray(problems));
  return JsonRender(entry);
}

}  // namespace

bool ReadPortRecords(const std::string& stateDir, std::vector<PortStatus>* records, std::string* reason) {
  records->clear();
  std::set<std::string> keys;
  bool listed = KeysIn(stateDir, &keys, reason);
  for (const std::string& key : keys) records->push_back(StatusOf(stateDir, key));
  return listed;
}

bool ReadPortStatuses(const std::string& stateDir, const PortIdentity* only, std::vector<PortStatus>* statuses,
                      std::string* reason) {
  std::vector<PortStatus> records;
  bool listed = ReadPortRecords(stateDir, &records, reason);
  statuses->clear();
  for (const PortStatus& status : NewestPerDisplay(records))
    if (only == nullptr || RecordIsAbout(status, *only)) statuses->push_back(status);
  if (only != nullptr && statuses->empty()) {
    statuses->push_back(PortStatus());
    statuses->back().stateKey = only->stateKey;
    statuses->back().identity = *only;
  }
  return listed;
}

bool StatusSucceeded(const PortStatus& status) { return status.runKnown && IsSuccessOutcome(status.run.outcome); }

std::string SpeedLabelOf(const StartupMessageRecord& record) {
  const SpeedEntry* entry = SpeedEntryForCode(record.bytes[0]);
  if (entry == nullptr) return "";
  std::u16string label = entry->label;
  return Utf16ToUtf8(label.substr(0, label.find(u' ')));
}

bool StatusSuccess(const std::vector<PortStatus>& statuses, const std::vector<std::string>& warnings, bool configured) {
  bool success = (!statuses.empty() || !configured) && warnings.empty();
  for (const PortStatus& status : statuses) success = success && StatusSucceeded(status);
  return success;
}

std::string StatusJson(const std::string& stateDir, const std::vector<PortStatus>& statuses,
                       const std::vector<std::string>& warnings, bool configured) {
  std::vector<std::string> ports, warningTexts;
  for (const PortStatus& status : statuses) ports.push_back(StatusEntryJson(status));
  for (const std::string& warning : warnings) warningTexts.push_back(JsonString(warning));
  JsonObject json;
  JsonAdd(&json, "command", JsonString("status"));
  JsonAdd(&json, "state_dir", JsonString(stateDir));
  JsonAdd(&json, "success", Bool(StatusSuccess(statuses, warnings, configured)));
  JsonAdd(&json, "configured", Bool(configured));
  JsonAdd(&json, "ports", JsonArray(ports));
  JsonAdd(&json, "warnings", JsonArray(warningTexts));
  return JsonRender(json);
}

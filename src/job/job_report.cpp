#include "job/job_report.h"

#include "protocol/startup_view.h"
#include "records/state_store.h"
#include "text/json_text.h"
#include "text/utf_convert.h"

namespace {

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string NameJson(const std::u16string& name) { return name.empty() ? "null" : JsonString(Utf16ToUtf8(name)); }

std::string CandidatesJson(const JobReport& report) {
  std::vector<std::string> entries;
  for (const Candidate& candidate : report.candidates) {
    PortReason reason = ReasonOfVerdict(candidate.verdict);
    JsonObject entry;
    JsonAdd(&entry, "port", NameJson(candidate.port.name));
    JsonAdd(&entry, "verdict", JsonString(ReasonRowOf(reason).name));
    JsonAdd(&entry, "detail", JsonString(ReasonText(reason, BytesFromUtf16(candidate.port.name), candidate.detail)));
    entries.push_back(JsonRender(entry));
  }
  return JsonArray(entries);
}

std::string MessagesJson(const std::vector<BoxMessage>& messages) {
  std::vector<std::string> entries;
  for (const BoxMessage& message : messages) {
    JsonObject entry;
    JsonAdd(&entry, "caption", JsonString(message.caption));
    JsonAdd(&entry, "text", JsonString(message.text));
    entries.push_back(JsonRender(entry));
  }
  return JsonArray(entries);
}

std::string RowsJson(const StartupMessageRecord& record) {
  std::vector<std::string> rows;
  for (int row = 0; row < 2; ++row) rows.push_back(JsonString(RowTextOf(record.bytes, row)));
  return JsonArray(rows);
}

void AddRecordJson(const JobReport& report, JsonObject* json) {
  bool known = report.outcome != OUTCOME_USAGE && report.outcome != OUTCOME_REFUSED && report.outcome != OUTCOME_BAD_CONFIG;
  JsonAdd(json, "product_type", report.productTypeKnown ? JsonString(report.productType) : "null");
  JsonAdd(json, "rows", known ? RowsJson(report.record) : "null");
  JsonAdd(json, "record", known ? JsonString(RecordHex(report.record)) : "null");
  JsonAdd(json, "kept_rows", report.keptKnown ? RowsJson(report.keptRecord) : "null");
}

void AddSearchJson(const JobReport& report, JsonObject* json) {
  JsonAdd(json, "candidates", CandidatesJson(report));
  bool chosen = report.chosen >= 0 && static_cast<size_t>(report.chosen) < report.candidates.size();
  JsonAdd(json, "chosen", chosen ? NameJson(report.candidates[report.chosen].port.name) : "null");
}

std::string ForgottenJson(const JobReport& report) {
  std::vector<std::string> keys;
  for (const std::string& key : report.forgotten) keys.push_back(JsonString(key));
  return JsonArray(keys);
}

}  // namespace

std::string ReportJson(const std::string& command, const JobReport& report, const std::vector<BoxMessage>& messages,
                       bool interrupted) {
  bool write = command == "write" || command == "factory-default" || command == "apply";
  JsonObject json;
  JsonAdd(&json, "command", command.empty() ? "null" : JsonString(command));
  JsonAdd(&json, "outcome", JsonString(OutcomeRowOf(report.outcome).name));
  if (write) JsonAdd(&json, "changed", Bool(report.changed));
  JsonAdd(&json, "interrupted", Bool(interrupted));
  JsonAdd(&json, "port", NameJson(report.port.name));
  JsonAdd(&json, "reason", report.reason == REASON_NONE ? "null" : JsonString(ReasonRowOf(report.reason).name));
  JsonAdd(&json, "detail", JsonString(report.text));
  if (command == "apply") JsonAdd(&json, "source", report.source.empty() ? "null" : JsonString(report.source));
  if (write) AddRecordJson(report, &json);
  if (command == "forget") JsonAdd(&json, "forgotten", ForgottenJson(report));
  else if (!write || report.searched) AddSearchJson(report, &json);
  JsonAdd(&json, "messages", MessagesJson(messages));
  std::vector<std::string> warnings;
  for (const std::string& warning : report.warnings) warnings.push_back(JsonString(warning));
  JsonAdd(&json, "warnings", JsonArray(warnings));
  JsonAdd(&json, "unseen_processes", std::to_string(report.unseenProcesses));
  return JsonRender(json);
}

int ExitCodeOf(const JobReport& report, int stopSignal) {
  if (stopSignal != 0) return ExitInterruptedBase + stopSignal;
  return OutcomeRowOf(report.outcome).exitCode;
}

// describe: what the program takes and answers, for tools that drive it
// (the fleet module reads the speeds, the row limit and the outcomes here
// instead of keeping copies of its own).
#include <cstdio>

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/message_policy.h"
#include "cli/outcome_events.h"
#include "job/outcomes.h"
#include "protocol/display_protocol.h"
#include "protocol/startup_view.h"
#include "text/json_text.h"
#include "text/utf_convert.h"

#ifndef VFD_VERSION
#define VFD_VERSION "0"
#endif

namespace {

const JobOutcome AllOutcomes[] = {
    OUTCOME_STORED,   OUTCOME_UNCHANGED, OUTCOME_WOULD_WRITE, OUTCOME_FOUND,       OUTCOME_NOT_CONFIRMED,
    OUTCOME_INCOMPATIBLE, OUTCOME_USAGE, OUTCOME_REFUSED,     OUTCOME_NO_ANSWER,   OUTCOME_NO_DISPLAY,
    OUTCOME_OPEN_FAILED, OUTCOME_IO_ERROR, OUTCOME_INTERRUPTED, OUTCOME_LEFT_ALONE, OUTCOME_BAD_CONFIG, OUTCOME_VALID,
    OUTCOME_STATE_ERROR, OUTCOME_FORGOTTEN,
};

std::string SpeedName(int position) {
  std::string label = Utf16ToUtf8(SpeedTable[position].label);
  return label.substr(0, label.find(' '));
}

std::string SpeedsJson() {
  std::vector<std::string> speeds;
  for (int position = 0; position < SpeedCount; ++position) speeds.push_back(JsonString(SpeedName(position)));
  return JsonArray(speeds);
}

std::string OutcomesJson() {
  std::vector<std::string> outcomes;
  for (JobOutcome outcome : AllOutcomes) {
    JsonObject entry;
    JsonAdd(&entry, "name", JsonString(OutcomeRowOf(outcome).name));
    JsonAdd(&entry, "exit_code", std::to_string(OutcomeRowOf(outcome).exitCode));
    JsonAdd(&entry, "event_id", std::to_string(OutcomeEventOf(outcome).id));
    // Interrupted runs exit with 128 + the signal's number.
    if (outcome == OUTCOME_INTERRUPTED) JsonAdd(&entry, "plus_signal", "true");
    outcomes.push_back(JsonRender(entry));
  }
  return JsonArray(outcomes);
}

// The policy's key and the values the program reads there (the ADMX
// template's value names are checked against these).
std::string PolicyJson() {
  std::vector<std::string> values;
  for (int key = 0; key < MESSAGE_KEYS; ++key) values.push_back(JsonString(PolicyValueName(MessageKey(key))));
  JsonObject policy;
  JsonAdd(&policy, "key", JsonString(PolicyKeyName));
  JsonAdd(&policy, "values", JsonArray(values));
  return JsonRender(policy);
}

}  // namespace

int RunDescribe(const CliOptions& options) {
  if (!options.json) {
    std::printf("vfdstartup-cli %s\nspeeds: ", VFD_VERSION);
    for (int position = 0; position < SpeedCount; ++position)
      std::printf("%s%s", position ? ", " : "", SpeedName(position).c_str());
    std::printf(" (default %s)\nrows: 2, at most %u characters each, %u columns shown\noutcomes:\n",
                SpeedName(SpeedDefaultPosition).c_str(), static_cast<unsigned>(RowTextMax),
                static_cast<unsigned>(DisplayColumns));
    for (JobOutcome outcome : AllOutcomes)
      std::printf("  %-14s exit %d%s\n", OutcomeRowOf(outcome).name, OutcomeRowOf(outcome).exitCode,
                  outcome == OUTCOME_INTERRUPTED ? " + the signal's number" : "");
    return 0;
  }
  JsonObject json;
  JsonAdd(&json, "version", JsonString(VFD_VERSION));
  JsonAdd(&json, "speeds", SpeedsJson());
  JsonAdd(&json, "default_speed", JsonString(SpeedName(SpeedDefaultPosition)));
  JsonAdd(&json, "row_max", std::to_string(RowTextMax));
  JsonAdd(&json, "columns", std::to_string(DisplayColumns));
  JsonAdd(&json, "outcomes", OutcomesJson());
  JsonAdd(&json, "policy", PolicyJson());
  PrintJson(JsonRender(json));
  return 0;
}

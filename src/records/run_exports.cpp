#include "records/run_exports.h"

#include <set>

#include "text/utf_convert.h"

namespace {

struct MessageIdRow {
  const char* outcome;
  const char* messageId;  // fixed: deploy/systemd/vfdstartup.catalog explains each
  int priority;           // syslog's: 3 error, 4 warning, 6 info
};

const MessageIdRow MessageIds[] = {
    {"stored", "8bb47087b923442dbcd113afa25173c0", 6},
    {"unchanged", "7b1b2b689be643f39a0e6b36e42a5edd", 6},
    {"not_confirmed", "44ba50bcf75e480a9ec00fbfbc350489", 3},
    {"incompatible", "b788082bd5eb476b9be0876c02dc53b0", 3},
    {"usage", "b093b0dc92fc4b48930f49ed97dbf14b", 3},
    {"refused", "4d30449832804764abdf21d2e26ff256", 3},
    {"no_answer", "982b026b8d6f4f90b26f9f087b2e0831", 3},
    {"no_display", "bd601b1007554098871357501334248c", 3},
    {"open_failed", "e54ff064a7c94d4da641a524ecbacbce", 3},
    {"io_error", "36911b185ed24673a1576ada820d1f67", 3},
    {"interrupted", "13a4af743af64847bb68cc579cb9f763", 4},
    {"left_alone", "d31284abff6a40c3ad2593fdf9f74906", 6},
    {"bad_config", "7e37aae5d20c40908fda74e774cbdc8f", 3},
    {"state_error", "6a240bf4c61844afb3a47d947e360d46", 3},
};

const MessageIdRow* MessageIdOf(const std::string& outcome) {
  for (const MessageIdRow& row : MessageIds)
    if (outcome == row.outcome) return &row;
  return nullptr;
}

// A label value in the text format: UTF-8, with \, " and line feeds escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : ValidUtf8(text)) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return "\"" + out + "\"";
}

// A device whose files name no port (a last run that cannot be read) by its
// key, so that it never shares the label of the runs that reached no port.
std::string PortLabel(const PortStatus& status) {
  std::string name = BytesFromUtf16(status.identity.name);
  return "port=" + LabelValue(name.empty() ? status.stateKey : name);
}

// Each label once: the statuses shown name no port twice (record_rule.h),
// but a key standing in for a name could be another port's name.
std::vector<const PortStatus*> OnePerLabel(const std::vector<PortStatus>& statuses) {
  std::set<std::string> named;
  for (const PortStatus& status : statuses)
    if (!status.identity.name.empty()) named.insert(PortLabel(status));
  std::vector<const PortStatus*> shown;
  for (const PortStatus& status : statuses)
    if (!status.identity.name.empty() || named.insert(PortLabel(status)).second) shown.push_back(&status);
  return shown;
}

std::string Header(const char* name, const char* help) {
  return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

// One field; a value with a line break goes as the protocol's binary form:
// the name, a line feed, the length as 64-bit little endian, the value.
std::string Field(const std::string& name, const std::string& value) {
  if (value.find('\n') == std::string::npos) return name + "=" + value + "\n";
  std::string out = name + "\n";
  unsigned long long length = value.size();
  for (int byte = 0; byte < 8; ++byte) out += static_cast<char>((length >> (8 * byte)) & 0xFF);
  return out + value + "\n";
}

}  // namespace

std::string MetricsText(const std::vector<PortStatus>& statuses) {
  std::string times = Header("vfdstartup_last_run_timestamp_seconds",
                             "When the last run of write, factory-default or apply on the port ended, in Unix time.");
  std::string outcomes = Header("vfdstartup_last_outcome",
                                "The outcome of the last run on the port: 1 for the outcome named (stored and "
                                "unchanged mean the display holds the message).");
  std::string kept = Header("vfdstartup_message_kept",
                            "1 while the kept state of the port counts (it was confirmed by the display attached "
                            "now), else 0.");
  for (const PortStatus* shown : OnePerLabel(statuses)) {
    const PortStatus& status = *shown;
    std::string port = PortLabel(status);
    if (status.runKnown) {
      times += "vfdstartup_last_run_timestamp_seconds{" + port + "} " + std::to_string(status.run.time) + "\n";
      outcomes += "vfdstartup_last_outcome{" + port + ",outcome=" + LabelValue(status.run.outcome) + "} 1\n";
    }
    if (!status.stateKey.empty()) kept += "vfdstartup_message_kept{" + port + "} " + (status.stateCounts ? "1" : "0") + "\n";
  }
  return times + outcomes + kept;
}

std::string JournalDatagram(const LastRun& run, unsigned unseenProcesses) {
  const MessageIdRow* id = MessageIdOf(run.outcome);
  std::string unseen = std::to_string(unseenProcesses);
  std::string told = unseenProcesses == 0 ? "" : " (" + unseen + " processes could not be looked into for the port)";
  std::string entry = Field("MESSAGE", "vfdstartup " + run.command + ": " + run.detail + told);
  if (id != nullptr) entry += Field("MESSAGE_ID", id->messageId);
  entry += Field("PRIORITY", std::to_string(id != nullptr ? id->priority : 3));
  entry += Field("SYSLOG_IDENTIFIER", "vfdstartup-cli");
  entry += Field("VFDSTARTUP_OUTCOME", run.outcome);
  entry += Field("VFDSTARTUP_PORT", run.port);
  entry += Field("VFDSTARTUP_REASON", run.reason);
  entry += Field("VFDSTARTUP_COMMAND", run.command);
  entry += Field("VFDSTARTUP_UNSEEN_PROCESSES", unseen);
  return entry;
}

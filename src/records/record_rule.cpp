#include "records/record_rule.h"

namespace {

long long TimeOf(const PortStatus& record) {
  long long run = record.runKnown ? record.run.time : 0, kept = record.stateKept ? record.state.writtenAt : 0;
  return run > kept ? run : kept;
}

// A record without a port's name (the runs that reached no port, or files
// that could not be read) is about its own key alone.
bool SameDisplay(const PortStatus& a, const PortStatus& b) {
  return a.stateKey == b.stateKey || (!a.identity.device.empty() && a.identity.device == b.identity.device);
}

}  // namespace

bool RecordIsAbout(const PortStatus& record, const PortIdentity& port) {
  return record.stateKey == port.stateKey || (!port.device.empty() && record.identity.device == port.device);
}

std::vector<PortStatus> NewestPerDisplay(const std::vector<PortStatus>& records) {
  std::vector<PortStatus> newest;
  for (size_t i = 0; i < records.size(); ++i) {
    bool superseded = false;
    for (size_t j = 0; j < records.size() && !superseded; ++j) {
      long long mine = TimeOf(records[i]), theirs = TimeOf(records[j]);
      superseded = j != i && SameDisplay(records[i], records[j]) && (theirs > mine || (theirs == mine && j < i));
    }
    if (!superseded) newest.push_back(records[i]);
  }
  return newest;
}

bool RunKeepsRecord(const std::string& command, bool searched, bool portAnswered, bool displayOnRecord) {
  return command == "apply" || searched || portAnswered || displayOnRecord;
}

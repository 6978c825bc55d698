// What status shows, without opening a port: for each device with a kept
// state or a last run, what the state says the display holds, whether that
// still counts, and how the last run ended.
#ifndef VFD_RECORDS_PORT_STATUS_H
#define VFD_RECORDS_PORT_STATUS_H

#include <string>
#include <vector>

#include "records/last_run.h"
#include "records/port_identity.h"
#include "records/state_store.h"

struct PortStatus {
  std::string stateKey;
  PortIdentity identity;     // of the name last used; name empty: a run that reached no port
  bool stateKept;
  PortState state;
  bool stateCounts;          // the kept state is of the display attached now
  bool runKnown;
  LastRun run;
  std::vector<std::string> problems;  // a file that could not be read
};

// Every record in stateDir, in the order of their keys, superseded ones too.
// False with the reason when the directory cannot be listed.
bool ReadPortRecords(const std::string& stateDir, std::vector<PortStatus>* records, std::string* reason);
// What status shows: the newest record about each display
// (record_rule.h), in the order of their keys; only not null: the one about
// the display that port leads to (shown even when nothing is known of it).
bool ReadPortStatuses(const std::string& stateDir, const PortIdentity* only, std::vector<PortStatus>* statuses,
                      std::string* reason);

// The last run put the message on the display, or found it there.
bool StatusSucceeded(const PortStatus& status);

// The speed's label of a record's first row ("300ms"); "" for a code no
// speed sends.
std::string SpeedLabelOf(const StartupMessageRecord& record);

// Whether status succeeds: every device shown had a last run that
// succeeded, or there is no message to keep (configured false) and nothing
// is known of any device. A message configured but never stored is a
// failure, and so is a directory that cannot be listed.
bool StatusSuccess(const std::vector<PortStatus>& statuses, const std::vector<std::string>& warnings, bool configured);

// status --json: one object (docs/schemas/status.schema.json is its schema).
std::string StatusJson(const std::string& stateDir, const std::vector<PortStatus>& statuses,
                       const std::vector<std::string>& warnings, bool configured);

#endif  // VFD_RECORDS_PORT_STATUS_H

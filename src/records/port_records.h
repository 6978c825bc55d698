// The records' room as the jobs ask it: what the kept state says a port's
// display holds, and what a run keeps of itself (the kept state, the port's
// last run, the metrics file a metrics collector reads, one journal entry).
// The kept state and the last runs are the one source of truth; the metrics
// file is made from them anew at every run. The jobs never reach the files
// themselves.
#ifndef VFD_RECORDS_PORT_RECORDS_H
#define VFD_RECORDS_PORT_RECORDS_H

#include <string>
#include <vector>

#include "protocol/display_protocol.h"
#include "records/last_run.h"
#include "records/port_identity.h"
#include "records/record_rule.h"

// Where a run is told. metricsFile and journalSocket: empty for none.
struct RunRecordPlaces {
  std::string stateDir;
  std::string metricsFile;
  std::string journalSocket;
};

// Whether the records in stateDir may be believed (a state others could
// have planted there proves nothing), with why not and how to mend it; and
// what a user does when one of them cannot be dropped.
bool RecordsTrusted(const std::string& stateDir, std::string* reason);
std::string RecordsHint(const std::string& stateDir);

// What the kept state says the module behind port holds: STATE_FOUND only
// when it counts for the display attached now; STATE_DAMAGED with why.
StateRead ReadKeptRecord(const std::string& stateDir, const PortIdentity& port, StartupMessageRecord* record,
                         std::string* reason);

// Before a record is sent: the port's kept state goes, and its last run
// with it when lastRunToo. CanDropPortRecords: whether it could go, dropping
// nothing.
bool DropPortRecords(const std::string& stateDir, const PortIdentity& port, bool lastRunToo, std::string* reason);
bool CanDropPortRecords(const std::string& stateDir, const PortIdentity& port, std::string* reason);

// While the port is still held: the record the module confirmed (with the
// attachment the port had before it was opened), and the run as the port's
// last run; each with the time it is kept.
bool KeepConfirmedRecord(const std::string& stateDir, const PortIdentity& port, const std::string& productType,
                         const StartupMessageRecord& record, const std::string& command, std::string* reason);
bool KeepPortLastRun(const std::string& stateDir, LastRun run, std::string* reason);

// Whether a record is kept of the display port leads to (record_rule.h).
bool DisplayOnRecord(const std::string& stateDir, const PortIdentity& port);

// forget: every record about the display port leads to (its kept state and
// its last run; port null: the record of the runs that reached no port),
// their keys into *forgotten. False with why when one could not be dropped.
bool ForgetDisplayRecords(const std::string& stateDir, const PortIdentity* port, std::vector<std::string>* forgotten,
                          std::string* reason);

// A run that keeps its record (RunKeepsRecord), once it concluded: its last
// run (unless it was kept already, while the port was held), and the end of
// every other record about the display it reached through port, and of what
// a run that reached no port said. What cannot be written or dropped is a
// warning.
void KeepLastRunOf(const RunRecordPlaces& places, const LastRun& run, const PortIdentity& port, bool keptAlready,
                   std::vector<std::string>* warnings);
// What the last run of command that reached no port said, dropped (none
// kept, or one of another command: nothing to do); false with why when it
// cannot go. The service's "no message configured" ends a failed apply's.
bool ForgetRunWithoutPort(const std::string& stateDir, const std::string& command, std::string* reason);
// The metrics file from every port's kept state and last run, whole (none
// when places names no metrics file).
void RewriteMetrics(const RunRecordPlaces& places, std::vector<std::string>* warnings);
// The run's journal entry, with how many processes its look at who holds a
// port could not look into; nothing when the journal's socket is not there.
void SendToJournal(const RunRecordPlaces& places, const LastRun& run, unsigned unseenProcesses);

#endif  // VFD_RECORDS_PORT_RECORDS_H

// What a terminal keeps of each run of write, factory-default and apply,
// beside the kept state: the port's last run, the metrics file a metrics
// collector reads, and one journal entry. The kept state and the last runs
// are the one source of truth; the metrics file is made from them anew at
// every run.
#ifndef VFD_RECORDS_PORT_RECORDS_H
#define VFD_RECORDS_PORT_RECORDS_H

#include <string>
#include <vector>

#include "records/last_run.h"

// Where a run is told. metricsFile and journalSocket: empty for none.
struct RunRecordPlaces {
  std::string stateDir;
  std::string metricsFile;
  std::string journalSocket;
};

// The run as its port's last run (unless it was kept already, while the
// port was held); a run that reached a port ends what an earlier run that
// reached none said. What cannot be written is a warning.
void KeepLastRunOf(const RunRecordPlaces& places, const LastRun& run, bool keptAlready,
                   std::vector<std::string>* warnings);
// The metrics file from every port's kept state and last run, whole (none
// when places names no metrics file).
void RewriteMetrics(const RunRecordPlaces& places, std::vector<std::string>* warnings);
// The run's journal entry; nothing when the journal's socket is not there.
void SendToJournal(const RunRecordPlaces& places, const LastRun& run);

#endif  // VFD_RECORDS_PORT_RECORDS_H

// What the fleet learns of each run of write, factory-default and apply:
// the last run kept per port beside the kept state (one small file per
// device, written whole or not at all and never through a link), the
// metrics file a metrics collector reads, and one journal entry. The kept
// state and the last runs are the one source of truth; the metrics file is
// made from them anew at every run.
#ifndef VFD_JOB_RUN_RECORD_H
#define VFD_JOB_RUN_RECORD_H

#include <string>

#include "job/display_job.h"
#include "job/last_run.h"

LastRun LastRunOf(const std::string& command, const JobReport& report, long long now);

// Where a run is told. metricsFile and journalSocket: empty for none.
struct RunRecordPlaces {
  std::string stateDir;
  std::string metricsFile;
  std::string journalSocket;
};

// After a job of write, factory-default or apply concluded (not --check,
// not apply --validate): its last run (unless the job kept it while it held
// the port) and the metrics file. What cannot be written is a warning in
// the report; the outcome stands.
void RecordRun(const RunRecordPlaces& places, const std::string& command, JobReport* report);
// Then, once the program has written what it says of the run, the journal
// entry (nothing when the journal's socket is not there).
void TellJournal(const RunRecordPlaces& places, const std::string& command, const JobReport& report);

#endif  // VFD_JOB_RUN_RECORD_H

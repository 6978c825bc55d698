// A job's report as the records keep it (records/port_records.h): its last
// run, kept beside the kept state, the metrics file and one journal entry.
#ifndef VFD_JOB_RUN_RECORD_H
#define VFD_JOB_RUN_RECORD_H

#include <string>

#include "job/display_job.h"
#include "records/port_records.h"

// The report as a last run (its time is set where it is kept).
LastRun LastRunOf(const std::string& command, const JobReport& report);

// After a job of write, factory-default or apply concluded (not --check,
// not apply --validate): its last run (unless the job kept it while it held
// the port) and the metrics file. What cannot be written is a warning in
// the report; the outcome stands.
void RecordRun(const RunRecordPlaces& places, const std::string& command, JobReport* report);
// Then, once the program has written what it says of the run, the journal
// entry (nothing when the journal's socket is not there).
void TellJournal(const RunRecordPlaces& places, const std::string& command, const JobReport& report);

#endif  // VFD_JOB_RUN_RECORD_H

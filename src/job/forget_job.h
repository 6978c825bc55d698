// forget: what is kept of a display goes (its kept state and its last run,
// and every other record about the display its port leads to), so that
// status, the metrics file and the fleet report no longer show it: a display
// retired, or a port named by mistake before runs by hand kept nothing of
// such ports.
#ifndef VFD_JOB_FORGET_JOB_H
#define VFD_JOB_FORGET_JOB_H

#include <string>

#include "job/display_job.h"

// port empty: the record of the runs that reached no port. The records go
// under the rules a write's go under: not from a state directory others may
// change, and only while the port is held as a write holds it, so that no
// run on it is under way; a port that leads to no device, or to no serial
// port, has no run to wait for.
void RunForgetJob(const std::u16string& port, const std::string& stateDir, JobReport* report);

#endif  // VFD_JOB_FORGET_JOB_H

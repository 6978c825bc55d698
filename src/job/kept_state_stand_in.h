// Until the kept state records its attachment: every state counts.
#ifndef VFD_JOB_KEPT_STATE_STAND_IN_H
#define VFD_JOB_KEPT_STATE_STAND_IN_H

#include "job/job_platform.h"
#include "job/state_store.h"

inline bool KeptStateCounts(const PortState&, const PortIdentity&) { return true; }

#endif

// The long runs that print figures: a soak of many presses with the
// program's handles and memory sampled, and the timings of
// scripts/bench-write.sh.
#ifndef VFD_E2E_MEASURE_H
#define VFD_E2E_MEASURE_H

#include "scenarios.h"

void RunSoak(Session& session, const DriverOptions& options);
void RunBenchWrite(Session& session, const DriverOptions& options);
void RunBenchStartup(Session& session, const DriverOptions& options);

#endif  // VFD_E2E_MEASURE_H

// The fault scenario: the display (or its port) misbehaves for one press.
#ifndef VFD_E2E_FAULTS_H
#define VFD_E2E_FAULTS_H

#include "scenarios.h"

void RunFault(Session& session, const DriverOptions& options);

#endif  // VFD_E2E_FAULTS_H

// Scenarios that put the display or its port into a fault mode for one
// press (faults.cpp), and the long runs that measure (measure.cpp).
#ifndef VFD_E2E_FAULTS_H
#define VFD_E2E_FAULTS_H

#include <vector>

#include "scenarios.h"

const std::vector<Scenario>& FaultScenarios();
const std::vector<Scenario>& MeasureScenarios();

#endif  // VFD_E2E_FAULTS_H

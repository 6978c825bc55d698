// The platform's words for a port that cannot be opened. Realised in
// outcome_platform_posix.cpp and outcome_platform_win32.cpp.
#ifndef VFD_JOB_OUTCOME_PLATFORM_H
#define VFD_JOB_OUTCOME_PLATFORM_H

#include <string>

// This program's name as the platform lists processes.
std::string ThisProgramName();

// A busy port whose holder is unknown; what a user without permission to a
// port can do (group: the device's group where it may open the device;
// ownerAndMode: whose the device is where no group may, as the platform tells).
std::string BusyPortHint();
std::string AccessHint(const std::string& group, const std::string& ownerAndMode);

#endif  // VFD_JOB_OUTCOME_PLATFORM_H

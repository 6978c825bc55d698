// The platform's words on Windows.
#include "job/outcome_platform.h"

std::string ThisProgramName() { return "vfdstartup-cli"; }

std::string BusyPortHint() { return "another program holds it"; }

std::string AccessHint(const std::string&, const std::string&) { return "another program may hold it, or the user may not open it"; }

// The console program, vfdstartup-cli: the dialog's job for scripts and
// deployment tools. The platform's entry prepares the process first and
// hands it the arguments as bytes (UTF-8 by convention).
#ifndef VFD_CLI_MAIN_H
#define VFD_CLI_MAIN_H

#include <string>
#include <vector>

// Arguments without the program's name; returns the exit code.
int RunConsoleProgram(const std::vector<std::string>& args);

#endif  // VFD_CLI_MAIN_H

// The console program, vfdstartup-cli: the dialog's job for scripts and
// deployment tools. The platform's entry hands it the arguments in UTF-8.
#ifndef VFD_CLI_MAIN_H
#define VFD_CLI_MAIN_H

#include <string>
#include <vector>

// Arguments without the program's name; returns the exit code.
int RunConsoleProgram(const std::vector<std::string>& args);

#endif  // VFD_CLI_MAIN_H

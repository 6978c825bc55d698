// What the console program needs of its platform beyond the seams of the
// logic: each realised in cli_platform_posix.cpp and cli_platform_win32.cpp.
#ifndef VFD_CLI_PLATFORM_H
#define VFD_CLI_PLATFORM_H

#include <cstdio>
#include <string>

// /var/lib/vfdstartup, or %ProgramData%\vfdstartup.
std::string DefaultStateDir();

// The port name the write sequence takes: on Windows without a leading
// "\\.\" (the sequence adds it), on POSIX the path as given.
std::string PortNameForSequence(const std::string& port);

// fopen(path, "wb") for a UTF-8 path; SyncFileToDisk after fflush.
FILE* OpenFileForWriting(const std::string& path);
bool SyncFileToDisk(FILE* file);
unsigned long CurrentProcessId();

// The access hint for a port that could not be opened for lack of rights.
const char* AccessDeniedHint();

#endif  // VFD_CLI_PLATFORM_H

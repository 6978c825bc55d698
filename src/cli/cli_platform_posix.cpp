// The few platform facts the console program needs beyond the seams, on POSIX.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli_platform.h"

std::string DefaultStateDir() { return "/var/lib/vfdstartup"; }

std::string PortNameForSequence(const std::string& port) { return port; }

FILE* OpenFileForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

bool SyncFileToDisk(FILE* file) { return fsync(fileno(file)) == 0; }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

const char* AccessDeniedHint() {
  return "the user needs access to the device, for example membership of the dialout group";
}

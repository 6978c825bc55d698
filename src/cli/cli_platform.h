// What the console program needs of its platform beyond the seams of the
// logic and the jobs: owning its process (standard descriptors, stop
// requests, the console), the words of its help, and how a user writes a
// port. Realised in cli_platform_posix.cpp and cli_platform_win32.cpp.
#ifndef VFD_CLI_PLATFORM_H
#define VFD_CLI_PLATFORM_H

#include <string>

// First thing at start: descriptors 0, 1 and 2 open (on the null device when
// they were closed, so that no port or file the program opens can become
// its standard error), SIGPIPE ignored, stop requests (SIGINT, SIGTERM,
// SIGHUP; on Windows Ctrl+C, Ctrl+Break, closing the console) remembered
// instead of ending the process, UTF-8 output on the console.
void PrepareProcess();
// Last thing before the exit: the console as it was found.
void RestoreConsole();

// The signal of the first stop request (Ctrl+C: 2, Ctrl+Break: 3, closing
// the console: 1 on Windows); 0 when none came.
int StopSignal();
bool StopRequested();
// A stop request that does not come from a signal or the console: the
// Windows service manager's (as SIGTERM, 15).
void RequestStop();
// Around an exchange: a stop request that would end the process (closing the
// Windows console) waits for its end.
void ExchangeBegins();
void ExchangeEnds();

// A --port value as the logic names the port: on Windows "\\.\COM12" and
// "COM12" are one port; on POSIX the path, byte for byte.
std::u16string PortNameFromArgument(const std::string& value);

// The help's platform part: ports, configuration, state, environment.
const char* PlatformHelp();
// Whether the dialog's message boxes are part of the human output without -v.
bool BoxesShownByDefault();
// Whether standard error, or output, is a terminal a person watches.
bool StandardErrorIsTerminal();
bool StandardOutputIsTerminal();

#endif  // VFD_CLI_PLATFORM_H

// What recording a run needs of its platform: the state directory's files
// listed, the clock, where the metrics collector of the platform reads its
// files, and the system journal. Realised in run_platform_posix.cpp and
// run_platform_win32.cpp.
#ifndef VFD_RECORDS_RUN_PLATFORM_H
#define VFD_RECORDS_RUN_PLATFORM_H

#include <string>
#include <vector>

// The names in dir (no "." or ".."), sorted; a missing dir has none.
bool ListDirectory(const std::string& dir, std::vector<std::string>* names, std::string* reason);

bool DirectoryExists(const std::string& dir);

// Seconds since 1970 (UTC).
long long NowSeconds();
// A time as "2026-12-08 04:30:00 UTC".
std::string UtcText(long long seconds);

// The metrics collector's text file directory (node_exporter's on Linux,
// or the one VFDSTARTUP_METRICS_DIR names; windows_exporter's on Windows);
// the metrics file is written there only where it exists.
std::string DefaultMetricsDir();
// dir and name joined with the platform's separator.
std::string PathIn(const std::string& dir, const std::string& name);
// The directory and the name of a file's path.
void SplitPath(const std::string& path, std::string* dir, std::string* name);

// The journal's socket; empty where the platform has none.
std::string JournalSocketPath();
// One datagram to a unix datagram socket; false when there is no socket
// there or it takes nothing (the journal is not running).
bool SendJournalDatagram(const std::string& socketPath, const std::string& datagram);

#endif  // VFD_RECORDS_RUN_PLATFORM_H

// What the records need of their platform: where they are kept and how
// their files are read and written. Realised in record_platform_posix.cpp
// and record_platform_win32.cpp.
#ifndef VFD_RECORDS_RECORD_PLATFORM_H
#define VFD_RECORDS_RECORD_PLATFORM_H

#include <string>

// The default state directory: /var/lib/vfdstartup, or
// %ProgramData%\vfdstartup.
std::string DefaultStateDir();

// The state directory's small files.
// FILE_NOT_TRUSTED (Linux): the file belongs to an account other than root
// and the one running the program.
enum FileRead { FILE_READ, FILE_ABSENT, FILE_NOT_REGULAR, FILE_UNREADABLE, FILE_NOT_TRUSTED };

// Reads a regular file of at most limit bytes; never follows a link and
// never waits on a FIFO or a device.
FileRead ReadSmallFile(const std::string& dir, const std::string& name, size_t limit, std::string* text,
                       std::string* reason);
// Writes a new file exclusively under a fresh temporary name (never through
// a link), syncs it, renames it over name and syncs the directory, which is
// created when missing with the rights the package gives the default one.
bool ReplaceFileSynced(const std::string& dir, const std::string& name, const std::string& text,
                       std::string* reason);
// Removes name (absent is fine) and syncs the directory.
bool RemoveFileSynced(const std::string& dir, const std::string& name, std::string* reason);
// Whether RemoveFileSynced would remove name (absent is fine), without
// removing it.
bool FileRemovable(const std::string& dir, const std::string& name, std::string* reason);

// False, with the reason and how to mend it, when others than the system's
// administrators (and the user running the program) may change what is in
// dir: a state found there could have been planted. A missing dir is fine:
// the program makes it with its own rights.
bool StateDirTrusted(const std::string& dir, std::string* reason);
// What a user does when a state in dir cannot be dropped.
std::string StateDirHint(const std::string& dir);

#endif  // VFD_RECORDS_RECORD_PLATFORM_H

// What the jobs need of their platform beyond the logic's seams: where state
// is kept and how its files are written, what identifies a port's device,
// and the platform's words for a port that cannot be opened. Realised in
// job_platform_posix.cpp and job_platform_win32.cpp.
#ifndef VFD_JOB_PLATFORM_H
#define VFD_JOB_PLATFORM_H

#include <string>

// The default state directory: /var/lib/vfdstartup, or
// %ProgramData%\vfdstartup.
std::string DefaultStateDir();

// This program's name as the platform lists processes.
std::string ThisProgramName();

// A busy port whose holder is unknown; what a user without permission to a
// port can do (group: the device's group where it may open the device;
// ownerAndMode: whose the device is where no group may, as the platform tells).
std::string BusyPortHint();
std::string AccessHint(const std::string& group, const std::string& ownerAndMode);

// The device a port name reaches, as far as the platform can tell.
struct PortIdentity {
  std::u16string name;     // as given or listed; what is opened and reported
  std::string device;      // equal for two names of one device, different for two devices
  std::string stateKey;    // the name the device's state is kept under (UTF-8)
  // This attachment of the device: it changes whenever a module may have been
  // put behind the name since (a new boot, a device node made again, a port
  // plugged in again). Empty: the platform cannot tell (never the same).
  std::string attachment;
};
PortIdentity IdentifyPort(const std::u16string& name);

// The state directory's small files.
enum FileRead { FILE_READ, FILE_ABSENT, FILE_NOT_REGULAR, FILE_UNREADABLE };

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

#endif  // VFD_JOB_PLATFORM_H

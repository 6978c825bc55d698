// Claiming a serial port on POSIX systems, where the kernel does not keep
// programs apart: the UUCP lock-file convention that Linux serial programs
// follow (LCK..ttyS0 in /var/lock, holding the owner's process id), the
// terminal's exclusive mode, and the processes that have the device open.
// Part of the POSIX port realisation (port_open_posix.cpp).
#ifndef VFD_PORT_CLAIM_POSIX_H
#define VFD_PORT_CLAIM_POSIX_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include <string>

struct PortHolder {
  pid_t processId = 0;        // 0: nobody found, or a lock file that names nobody this program can tell
  std::string program;        // its /proc/<pid>/comm
  std::string lockFile;       // set when a lock file claims the port
  unsigned unseenProcesses = 0;  // processes the look that answered could not look into (see FindOtherHolder)
};

// The lock file's path for a device (canonical path /dev/ttyS0 gives
// <lock dir>/LCK..ttyS0). The lock directory is $VFDSTARTUP_LOCK_DIR, else
// /var/lock.
std::string LockFileFor(const std::string& devicePath);

// The process id in a lock file's bytes: HDB UUCP text (blanks, digits,
// blanks and line ends, never a NUL), or the 4-byte binary pid older UUCP
// programs write. Either must be a process id the kernel could hand out
// (1 to pidMax). False for anything else.
bool ParseLockOwner(const char* bytes, size_t size, long pidMax, pid_t* owner);

// A lock file held by a live process other than this one, or one whose
// owner cannot be told (empty, garbage, unreadable): a claim all the same. A
// lock file whose process has ended is stale: it is removed. One that an
// account which cannot open the device made in a world-writable lock
// directory is no claim: false, the file left, and *problem says so.
bool FindLiveLock(const std::string& lockFile, const std::string& devicePath, PortHolder* holder,
                  std::string* problem);

// Creates the lock file for this process. False with *holder set when a
// live process got there first. True also when the lock directory cannot
// be written, or a stranger's file (see FindLiveLock) has the name: there is
// nobody to keep out then, and *problem says why.
bool TakeLock(const std::string& lockFile, const std::string& devicePath, bool* taken, PortHolder* holder,
              std::string* problem);
void ReleaseLock(const std::string& lockFile);

// The claims in progress (from the first look at a port until it is closed,
// or its open failed) share their looks at which processes hold which
// devices: a search of many ports costs a few passes over /proc, not one
// per port.
// EndClaim says whether the claim counted its open (CountOpen).
void BeginClaim();
void EndClaim(bool opened);

// Counts an open of a claimed port (made or failed), right after it
// returned: its number for the look after the open.
uint64_t CountOpen();

// A stop request ends a look at once (null: none ever does); set once, for
// every look of the process.
void SetLookStopCheck(bool (*stopRequested)());

enum HolderFound { HOLDER_NONE, HOLDER_FOUND, HOLDER_LOOK_STOPPED };

// Another process (not this one) with the device open to read or write it,
// in any of its threads' descriptor tables. Compared by device number, never
// by name: a bind mount, a symlink or a container's own /dev reach one
// device under many names. A process this user may not look into (another
// account's, without CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE) is passed over
// and counted in holder->unseenProcesses: such a run goes on, and says so.
// A descriptor that cannot be stat'ed is passed over too. Between
// BeginClaim and EndClaim. Before the open (opened 0) the claims' shared
// look serves, however old; after it (opened from CountOpen) only a look
// that began after it.
HolderFound FindOtherHolder(dev_t device, PortHolder* holder, uint64_t opened = 0);

// The program name of a process; this process's own for 0.
std::string ProgramOf(pid_t processId);

#endif  // VFD_PORT_CLAIM_POSIX_H

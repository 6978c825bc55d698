// Claiming a serial port on POSIX systems, where the kernel does not keep
// programs apart: the UUCP lock-file convention that Linux serial programs
// follow (LCK..ttyS0 in /var/lock, holding the owner's process id), the
// terminal's exclusive mode, and the processes that have the device open.
// Part of the POSIX port realisation (port_open_posix.cpp).
#ifndef VFD_PORT_CLAIM_POSIX_H
#define VFD_PORT_CLAIM_POSIX_H

#include <sys/types.h>

#include <string>

struct PortHolder {
  pid_t processId = 0;        // 0: nobody found, or a lock file that names nobody this program can tell
  std::string program;        // its /proc/<pid>/comm
  std::string lockFile;       // set when a lock file claims the port
};

// The lock file's path for a device (canonical path /dev/ttyS0 gives
// <lock dir>/LCK..ttyS0). The lock directory is $VFDSTARTUP_LOCK_DIR, else
// /var/lock.
std::string LockFileFor(const std::string& devicePath);

// A lock file held by a live process other than this one, or one whose
// owner cannot be told (empty, garbage, unreadable): a claim all the same. A
// lock file whose process has ended is stale: it is removed.
bool FindLiveLock(const std::string& lockFile, PortHolder* holder);

// Creates the lock file for this process. False with *holder set when a
// live process got there first. True also when the lock directory cannot
// be written: there is nobody to keep out then, and *problem says why.
bool TakeLock(const std::string& lockFile, bool* taken, PortHolder* holder, std::string* problem);
void ReleaseLock(const std::string& lockFile);

// The claims in progress (from the first look at a port until it is closed,
// or its open failed) share one look at which processes hold which devices:
// a search of many ports costs one pass over /proc, not one per port.
void BeginClaim();
void EndClaim();

// Another process (not this one) with the device open, as far as this user
// may look into other processes. Compared by device number, never by name:
// a bind mount, a symlink or a container's own /dev reach one device under
// many names. Between BeginClaim and EndClaim.
bool FindOtherHolder(dev_t device, PortHolder* holder);

// The program name of a process; this process's own for 0.
std::string ProgramOf(pid_t processId);

#endif  // VFD_PORT_CLAIM_POSIX_H

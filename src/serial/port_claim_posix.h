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
  pid_t processId = 0;        // 0: nobody found
  std::string program;        // its /proc/<pid>/comm
  std::string lockFile;       // set when a lock file names it
};

// The lock file's path for a device (canonical path /dev/ttyS0 gives
// <lock dir>/LCK..ttyS0). The lock directory is $VFDSTARTUP_LOCK_DIR, else
// /var/lock.
std::string LockFileFor(const std::string& devicePath);

// A lock file held by a live process other than this one. A lock file whose
// process has ended is stale: it is removed.
bool FindLiveLock(const std::string& lockFile, PortHolder* holder);

// Creates the lock file for this process. False with *holder set when a live
// process got there first; true also when the lock directory cannot be
// written (there is nobody to keep out then).
bool TakeLock(const std::string& lockFile, bool* taken, PortHolder* holder);
void ReleaseLock(const std::string& lockFile);

// Another process (not this one) with the device open, as far as this user
// may look into other processes.
bool FindOtherHolder(const std::string& devicePath, PortHolder* holder);

// The program name of a process; this process's own for 0.
std::string ProgramOf(pid_t processId);

#endif  // VFD_PORT_CLAIM_POSIX_H

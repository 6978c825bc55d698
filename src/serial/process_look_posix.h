// One look at every other process's descriptors under /proc, for the claims
// of port_holders_posix.cpp: the character devices each descriptor table
// leads to, and how many processes could not be looked into. Part of the
// POSIX port realisation.
#ifndef VFD_PROCESS_LOOK_POSIX_H
#define VFD_PROCESS_LOOK_POSIX_H

#include <sys/types.h>

#include <map>
#include <vector>

// A descriptor's place: its process, the thread whose own table holds it
// (0: the process's first table), its number.
struct DescriptorPlace {
  pid_t processId;
  pid_t thread;
  int fd;
};

struct ProcessLook {
  // Every character device's descriptors (but the memory devices'), the
  // first found first.
  std::map<dev_t, std::vector<DescriptorPlace>> devices;
  // Processes whose descriptors, all or some, could not be looked into
  // (another account's, for a user without the capabilities to look): a
  // port they hold is not seen.
  unsigned unseen = 0;
  bool stopped = false;  // a stop request ended it before every process was looked at
};

// Every process but this one, shared out over the processor's cores.
// stopRequested (null: never) is asked before each process and each thread.
ProcessLook LookAtProcesses(bool (*stopRequested)());

// Whether the descriptor, still open, may read or write the device: an
// O_PATH descriptor may do neither and is no claim. One whose flags cannot
// be read counts as a claim; one closed since the look does not.
bool IsClaimingDescriptor(const DescriptorPlace& place);

#endif  // VFD_PROCESS_LOOK_POSIX_H

// The display emulator (tools/vfd_emulator) as a child process on a
// pseudo-terminal, for the Linux-side tests: start and stop it, send it
// control commands, and read what it logged.
#ifndef VFD_TESTS_EMULATOR_PROCESS_H
#define VFD_TESTS_EMULATOR_PROCESS_H

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "process_posix.h"
#include "protocol_expected.h"

struct EmulatorProcess {
  pid_t pid = 0;
  std::string link;     // the pty's published path, what a program opens
  std::string control, log, store;
  unsigned commands = 0;
};

// In dir, files named after name; false when it did not come up.
bool StartEmulator(const std::string& dir, const std::string& name, EmulatorProcess* emulator);
void StopEmulator(EmulatorProcess* emulator);
// Applies a control command and waits for its acknowledgement.
bool EmulatorControl(EmulatorProcess* emulator, const std::string& command);
// Waits until one log line holds every part.
bool EmulatorLogHas(const EmulatorProcess& emulator, const std::vector<std::string>& parts);
// The log lines holding every part, as they are now.
size_t EmulatorLogCount(const EmulatorProcess& emulator, const std::vector<std::string>& parts);
// The names of the commands it recognised, in order; with its opens and
// closes of the port ("open", "close") among them when asked.
std::vector<std::string> EmulatorCommands(const EmulatorProcess& emulator, bool opensAndCloses = false);
// The record it holds, as HexOf writes it.
std::string EmulatorRecordHex(const EmulatorProcess& emulator);

// Whose a holder is: this test's own account (root), or a member of the
// dialout group (another account, as a POS application runs under its own),
// whose process /proc shows as that account's, as it shows any program
// started under it.
enum HolderAccount { THIS_ACCOUNT, DIALOUT_MEMBER };

// Another program with the port open (in exclusive mode when asked) until
// EndHolder: a child process, since a program never counts its own process
// as a holder. -1 when it could not be started. A dialout member's holder
// needs root, and reaches the device by a path it may walk.
pid_t HoldPort(const std::string& path, bool exclusive, HolderAccount account = THIS_ACCOUNT);
// The same through a bind mount of path over mountPoint (an existing file) in
// the holder's own mount namespace, as a program in a container reaches a
// device: its descriptor names mountPoint. -1 also when that needs root.
pid_t HoldPortInOwnNamespace(const std::string& path, const std::string& mountPoint, bool exclusive,
                             HolderAccount account = THIS_ACCOUNT);
// The same by a second thread of the holder, with a descriptor table of its
// own (unshare(CLONE_FILES)), or after the holder's first thread has ended
// (its /proc/PID/fd lists nothing then).
pid_t HoldPortInThread(const std::string& path, bool ownTable, HolderAccount account = THIS_ACCOUNT);
// A process whose first table holds, before anything else, a descriptor of a
// FUSE mount of another account's (mountPoint, an empty directory, in its own
// mount namespace; nobody serves it): root's stat of it answers EACCES. The
// port is open in a thread's own table. -1 also without root or /dev/fuse.
pid_t HoldPortBehindAnUnreadableFile(const std::string& path, const std::string& mountPoint);
// An O_PATH descriptor of the device, by an account that may not open it
// (a stranger, in no group that may): it can neither read nor write.
pid_t HoldPortPathOnly(const std::string& path);
// A dialout member's holder that opens the port once a byte is written to
// *request, and answers on *ready (1: opened) once it has.
pid_t HoldPortOnRequest(const std::string& path, int* request, int* ready);
void EndHolder(pid_t pid);
// The port's line settings as the next program to open it finds them (they
// stay with the pty), changed first when asked.
termios LineSettings(const std::string& path, void (*change)(termios*) = nullptr);

std::string MakeTempDir();
std::string TextOf(const std::string& path);
// The emulator logs hex in lower case without blanks.
std::string LogHex(const expected::ByteList& bytes);

#endif  // VFD_TESTS_EMULATOR_PROCESS_H

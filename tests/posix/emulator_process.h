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

// Another program with the port open (in exclusive mode when asked) until
// EndHolder: a child process, since a program never counts its own process
// as a holder. -1 when it could not be started.
pid_t HoldPort(const std::string& path, bool exclusive);
// The same through a bind mount of path over mountPoint (an existing file) in
// the holder's own mount namespace, as a program in a container reaches a
// device: its descriptor names mountPoint. -1 also when that needs root.
pid_t HoldPortInOwnNamespace(const std::string& path, const std::string& mountPoint, bool exclusive);
// The same by a second thread of the holder, with a descriptor table of its
// own (unshare(CLONE_FILES)), or after the holder's first thread has ended
// (its /proc/PID/fd lists nothing then).
pid_t HoldPortInThread(const std::string& path, bool ownTable);
void EndHolder(pid_t pid);
// The port's line settings as the next program to open it finds them (they
// stay with the pty), changed first when asked.
termios LineSettings(const std::string& path, void (*change)(termios*) = nullptr);

std::string MakeTempDir();
std::string TextOf(const std::string& path);
// The emulator logs hex in lower case without blanks.
std::string LogHex(const expected::ByteList& bytes);

#endif  // VFD_TESTS_EMULATOR_PROCESS_H

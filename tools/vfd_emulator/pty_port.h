// The emulator's side of the serial line: a pseudo-terminal pair whose slave
// is published under a path (a symlink) for a Wine COM port to point at.
#ifndef VFD_EMULATOR_PTY_PORT_H
#define VFD_EMULATOR_PTY_PORT_H

#include <string>

struct PtyPort {
  int master = -1;
  int slave = -1;   // held open by us, so the line does not hang up when a program closes it
  int watch = -1;   // inotify on the slave: opens and closes by anybody
  std::string slavePath;  // /dev/pts/N
  int holders = 0;  // processes other than us with the slave open
};

// The slave's termios as the master sees it (tcgetattr on a pty master
// returns the slave's settings).
struct LineSettings {
  bool valid = false;
  unsigned baud = 0;
  int dataBits = 0;
  const char* parity = "none";  // none, even, odd, mark, space
  int stopBits = 1;
  bool crtscts = false;
  bool clocal = false;
  bool hupcl = false;
  bool ixon = false;
  bool ixoff = false;
  unsigned cflag = 0, iflag = 0, oflag = 0, lflag = 0;
};

bool OpenPtyPort(PtyPort& port, std::string& error);
void ClosePtyPort(PtyPort& port);

// Points link at target by renaming a fresh symlink over it.
bool PublishLink(const std::string& link, const std::string& target, std::string& error);

// Counts the processes other than this one that hold the slave open.
int CountSlaveHolders(const std::string& slavePath);
// Empties the inotify queue; true when anything was there.
bool DrainWatch(PtyPort& port);

LineSettings ReadLineSettings(const PtyPort& port);

// Bytes sent to the program that it has not read yet; and dropping them.
int UnreadSlaveInput(const PtyPort& port);
void FlushSlaveInput(const PtyPort& port);

#endif

// The emulator's side of the serial line: a pseudo-terminal pair whose slave
// is published under a path (a symlink) for a Wine COM port to point at.
// The emulator keeps only the controlling side open, as a module keeps only
// its end of the cable, so that nobody counts it as a program that holds
// the port: while no program has the terminal end open, the controlling
// side reports a hang-up, which tells the emulator whether the port is open
// whenever it looks (line_events.cpp says when it looks).
#ifndef VFD_EMULATOR_PTY_PORT_H
#define VFD_EMULATOR_PTY_PORT_H

#include <string>
#include <vector>

struct PtyPort {
  int master = -1;
  // inotify on the slave: wakes the emulator at opens and closes. Only a
  // wake-up (the fixture's reports and the looks at every turn of the loop
  // see every open without it), so the emulator runs without one where the
  // user's inotify instances are used up.
  int watch = -1;
  std::string slavePath;  // /dev/pts/N
  bool slaveOpen = false;  // some program has the terminal end open
  std::vector<int> holders;  // while open: the processes known to hold it
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

// The processes other than this one that hold the slave open.
std::vector<int> SlaveHolders(const std::string& slavePath);
bool HoldsSlave(int pid, const std::string& slavePath);
// Empties the inotify queue.
void DrainWatch(PtyPort& port);
// Whether a program has the terminal end open: the controlling side reports
// no hang-up.
bool IsSlaveOpen(const PtyPort& port);

LineSettings ReadLineSettings(const PtyPort& port);

#endif

#include "pty_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool Fail(std::string& error, const std::string& what) {
  error = what + ": " + std::strerror(errno);
  return false;
}

void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return;
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
}

bool HoldsPath(const std::string& fdDir, const std::string& path) {
  DIR* dir = opendir(fdDir.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  char target[256];
  while (dirent* entry = readdir(dir)) {
    std::string fdPath = fdDir + "/" + entry->d_name;
    ssize_t n = readlink(fdPath.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path == target) { found = true; break; }
  }
  closedir(dir);
  return found;
}

unsigned BaudOf(speed_t speed) {
  static const struct { speed_t code; unsigned baud; } table[] = {
      {B0, 0}, {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
      {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800},
      {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
      {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& entry : table) {
    if (entry.code == speed) return entry.baud;
  }
  return 0;
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

const char* ParityOf(tcflag_t cflag) {
  if (!(cflag & PARENB)) return "none";
  if (cflag & CMSPAR) return (cflag & PARODD) ? "mark" : "space";
  return (cflag & PARODD) ? "odd" : "even";
}

}  // namespace

bool OpenPtyPort(PtyPort& port, std::string& error) {
  port.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port.master < 0) return Fail(error, "posix_openpt");
  if (grantpt(port.master) != 0 || unlockpt(port.master) != 0) return Fail(error, "unlockpt");
  const char* name = ptsname(port.master);
  if (name == nullptr) return Fail(error, "ptsname");
  port.slavePath = name;
  // Opened once to make the line raw (the settings stay with the pty) and
  // closed again, so that the hang-up tells when nobody has it open.
  int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return Fail(error, "open " + port.slavePath);
  MakeRaw(slave);
  close(slave);
  port.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // Our own open above happened before the watch, so every event is somebody else's.
  if (port.watch >= 0 && inotify_add_watch(port.watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(port.watch);
    port.watch = -1;
  }
  port.slaveOpen = false;
  return true;
}

void ClosePtyPort(PtyPort& port) {
  for (int* fd : {&port.watch, &port.master}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  port.slaveOpen = false;
  port.holders.clear();
}

bool PublishLink(const std::string& link, const std::string& target, std::string& error) {
  std::string temporary = link + ".new";
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) return Fail(error, "symlink " + temporary);
  if (rename(temporary.c_str(), link.c_str()) != 0) return Fail(error, "rename to " + link);
  return true;
}

std::vector<int> SlaveHolders(const std::string& slavePath) {
  std::vector<int> holders;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holders;
  int self = getpid();
  while (dirent* entry = readdir(proc)) {
    int pid = std::atoi(entry->d_name);
    if (pid > 0 && pid != self && HoldsSlave(pid, slavePath)) holders.push_back(pid);
  }
  closedir(proc);
  return holders;
}

bool HoldsSlave(int pid, const std::string& slavePath) {
  return HoldsPath("/proc/" + std::to_string(pid) + "/fd", slavePath);
}

void DrainWatch(PtyPort& port) {
  alignas(inotify_event) char buffer[4096];
  while (port.watch >= 0 && read(port.watch, buffer, sizeof buffer) > 0) continue;
}

bool IsSlaveOpen(const PtyPort& port) {
  pollfd line = {port.master, 0, 0};
  return poll(&line, 1, 0) == 0 || (line.revents & POLLHUP) == 0;
}

LineSettings ReadLineSettings(const PtyPort& port) {
  LineSettings line;
  termios t{};
  if (tcgetattr(port.master, &t) != 0) return line;
  line.valid = true;
  line.baud = BaudOf(cfgetospeed(&t));
  line.dataBits = DataBitsOf(t.c_cflag);
  line.parity = ParityOf(t.c_cflag);
  line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  line.crtscts = (t.c_cflag & CRTSCTS) != 0;
  line.clocal = (t.c_cflag & CLOCAL) != 0;
  line.hupcl = (t.c_cflag & HUPCL) != 0;
  line.ixon = (t.c_iflag & IXON) != 0;
  line.ixoff = (t.c_iflag & IXOFF) != 0;
  line.cflag = t.c_cflag;
  line.iflag = t.c_iflag;
  line.oflag = t.c_oflag;
  line.lflag = t.c_lflag;
  return line;
}

#include "serial/port_device_posix.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

// The terminals the kernel writes its console to, e.g. "tty0 ttyS0".
const char ConsoleList[] = "/sys/class/tty/console/active";
const char* const ConsoleNodes[] = {"/dev/console", "/dev/tty"};
// The virtual consoles tty0 (the one in front) to tty63: major 4, minors
// 0 to 63 (minor 64 on is ttyS0 on).
const unsigned VirtualConsoleMajor = 4;
const unsigned VirtualConsoleCount = 64;

std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string LastPart(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

bool CharacterDeviceNumber(const std::string& path, dev_t* number) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  *number = info.st_rdev;
  return true;
}

bool IsKnownNonSerialDevice(dev_t device) {
  std::string entry = "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string node = LinkTarget(entry);
  if (node.empty()) return false;
  return LastPart(LinkTarget(entry + "/subsystem")) != "tty" || LastPart(node) == "ptmx";
}

std::set<dev_t> TerminalsInUse() {
  std::set<dev_t> inUse;
  // /dev/tty is the controlling terminal; TIOCGDEV names the device behind it.
  int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  unsigned int device = 0;
  if (fd >= 0 && ioctl(fd, TIOCGDEV, &device) == 0) inUse.insert(static_cast<dev_t>(device));
  if (fd >= 0) close(fd);
  for (unsigned console = 0; console < VirtualConsoleCount; ++console)
    inUse.insert(makedev(VirtualConsoleMajor, console));
  dev_t number;
  for (const char* node : ConsoleNodes)
    if (CharacterDeviceNumber(node, &number)) inUse.insert(number);
  std::ifstream active(ConsoleList);
  std::string name;
  while (active >> name)
    if (CharacterDeviceNumber("/dev/" + name, &number)) inUse.insert(number);
  return inUse;
}

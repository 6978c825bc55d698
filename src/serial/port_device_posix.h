// What a character device is, decided before anything opens it: an open can
// change a real line's modem signals, and some devices act on an open alone.
// Part of the POSIX port realisation; the port list leaves out the same
// terminals.
#ifndef VFD_PORT_DEVICE_POSIX_H
#define VFD_PORT_DEVICE_POSIX_H

#include <sys/types.h>

#include <set>
#include <string>

// The device number of path's character device (links followed); false for
// anything else.
bool CharacterDeviceNumber(const std::string& path, dev_t* number);

// A device the kernel files under another class than terminals (/dev/null is
// "mem"), or the pseudo-terminal multiplexer /dev/ptmx. A device sysfs does
// not list (a pseudo-terminal's other end) is not known here: its open tells.
bool IsKnownNonSerialDevice(dev_t device);

// The terminals whose output a person or the kernel reads: this process's
// controlling terminal (and /dev/tty, which leads to it), the system console
// (/dev/console and the terminals in /sys/class/tty/console/active) and the
// virtual consoles (/dev/tty0 to /dev/tty63), by device number.
std::set<dev_t> TerminalsInUse();

#endif  // VFD_PORT_DEVICE_POSIX_H

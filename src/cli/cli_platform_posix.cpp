// The console program's process on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/cli_platform.h"
#include "text/utf_convert.h"

namespace {

// Written by the signal handler only (the first request wins).
volatile std::sig_atomic_t FirstStopSignal = 0;

void OnStopSignal(int signal) {
  if (FirstStopSignal == 0) FirstStopSignal = signal;
}

// A descriptor the program was started without would be taken by the next
// open, a serial port perhaps, and the program's own messages would go there.
void OpenIfClosed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
  int opened = open("/dev/null", O_RDWR);
  if (opened >= 0 && opened != fd) {
    dup2(opened, fd);
    close(opened);
  }
}

const char Help[] =
    "Ports: --port takes a device path such as /dev/ttyS0, /dev/ttyUSB0 or a\n"
    "/dev/serial/by-id/... link. Without --port the program tries the port= line\n"
    "of /etc/vfdstartup.conf (or of the file VFDSTARTUP_CONF names) first, then\n"
    "every serial device: /dev/serial/by-id/*, /dev/ttyS*, /dev/ttyUSB*,\n"
    "/dev/ttyACM*, in natural order (VFDSTARTUP_PORTS: a blank-separated list\n"
    "instead), leaving out its own terminal and the system console. It probes\n"
    "them all at once (a display that does not answer takes 5 s) and uses the\n"
    "first port of that order where a display answers.\n"
    "\n"
    "The message file's port is a path, or a pattern over /dev/serial/by-id/\n"
    "(such as /dev/serial/by-id/usb-FTDI_*): a USB adapter's name there stays the\n"
    "same when it is plugged in again, where ttyUSB numbers change.\n"
    "\n"
    "A port another program uses is busy: a lock file LCK..ttyS0 in /var/lock\n"
    "(VFDSTARTUP_LOCK_DIR), exclusive mode, or the device open in another process.\n"
    "The user needs permission to open the device: usually membership of the\n"
    "dialout group.\n"
    "\n"
    "State: after a confirmed write the record is kept per device in\n"
    "/var/lib/vfdstartup (--state-dir); --if-changed compares with it.\n";

}  // namespace

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) OpenIfClosed(fd);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;
  // One stop request at a time: a second one that came meanwhile is
  // handled after the first, never in the middle of it, so the first decides.
  sigemptyset(&action.sa_mask);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, stop);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaction(stop, &action, nullptr);
}

void RestoreConsole() {}

int StopSignal() { return FirstStopSignal; }

bool StopRequested() { return FirstStopSignal != 0; }

void RequestStop() {
  if (FirstStopSignal == 0) FirstStopSignal = SIGTERM;
}

// A signal only sets the flag: nothing waits for the exchange here.
void ExchangeBegins() {}
void ExchangeEnds() {}

std::u16string PortNameFromArgument(const std::string& value) { return Utf16FromBytes(value); }

const char* PlatformHelp() { return Help; }

bool BoxesShownByDefault() { return false; }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

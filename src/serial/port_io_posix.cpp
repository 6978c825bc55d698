// The serial port operations over termios: reading and writing. Reads never
// wait, and writes end at the COMMTIMEOUTS write deadline with the count of
// bytes that really left.
#include "serial/port_ops.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "serial/port_posix.h"

namespace {

const DWORD SendPollMs = 1;

typedef unsigned long long Milliseconds;
const Milliseconds NoDeadline = ~0ull;

Milliseconds NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Milliseconds>(now.tv_sec) * 1000 + static_cast<Milliseconds>(now.tv_nsec) / 1000000;
}

// Both write totals zero means no write timeout, as on Windows.
Milliseconds WriteDeadline(const COMMTIMEOUTS& timeouts, DWORD size) {
  Milliseconds total = static_cast<Milliseconds>(timeouts.WriteTotalTimeoutMultiplier) * size +
                       timeouts.WriteTotalTimeoutConstant;
  return total == 0 ? NoDeadline : NowMs() + total;
}

int PollTimeout(Milliseconds deadline) {
  if (deadline == NoDeadline) return -1;
  Milliseconds now = NowMs();
  if (now >= deadline) return 0;
  return deadline - now > INT_MAX ? INT_MAX : static_cast<int>(deadline - now);
}

// Hands the bytes to the driver as room appears. Stops early only at the
// deadline (a short write) or on an error (a hung-up line gives EIO).
bool HandOver(int fd, const BYTE* bytes, DWORD size, Milliseconds deadline, DWORD* accepted) {
  while (*accepted < size) {
    pollfd ready = {fd, POLLOUT, 0};
    int polled = poll(&ready, 1, PollTimeout(deadline));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return FailWithErrno();
    if (polled == 0) return true;
    ssize_t n = write(fd, bytes + *accepted, size - *accepted);
    if (n > 0) *accepted += static_cast<DWORD>(n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) return FailWithErrno();
  }
  return true;
}

DWORD OutputQueued(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<DWORD>(queued);
}

void SleepMs(DWORD milliseconds) {
  timespec wait = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) continue;  // a signal cuts no pause short
}

// TIOCOUTQ counts what the driver still holds, so a UART whose CTS is held
// down keeps it until the deadline. A pty passes bytes straight to its other
// side and reports 0: there the write ends once the bytes are accepted.
DWORD WaitUntilSent(int fd, Milliseconds deadline) {
  DWORD queued;
  while ((queued = OutputQueued(fd)) > 0 && NowMs() < deadline) SleepMs(SendPollMs);
  return queued;
}

}  // namespace

// A hung-up line (the USB adapter pulled, the pty's other side closed) can
// never bring another byte. Its read fails at once (EIO, or end of file with
// POLLHUP) rather than passing for silence: the operator is told of a read
// error now instead of after the reply wait, as Windows drivers fail
// ReadFile on a removed device.
BOOL PortReadFile(HANDLE handle, BYTE* buffer, DWORD size, DWORD* count) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  *count = 0;
  ssize_t n = read(port->fd, buffer, size);
  if (n > 0) *count = static_cast<DWORD>(n);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return TRUE;
  if (n < 0) return FailWithErrno();
  pollfd line = {port->fd, POLLIN, 0};
  bool hungUp = poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0;
  return hungUp ? FailWith(ERROR_GEN_FAILURE) : TRUE;
}

// At the deadline the count is what has left the driver, so the logic sees
// a short write; what is still queued is dropped so that it cannot reach the
// module later, in the middle of the next command. (Only then: on a pty
// TCOFLUSH would drop bytes the other side has already been handed.)
BOOL PortWriteFile(HANDLE handle, const BYTE* bytes, DWORD size, DWORD* count) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  *count = 0;
  Milliseconds deadline = WriteDeadline(port->timeouts, size);
  DWORD accepted = 0;
  if (!HandOver(port->fd, bytes, size, deadline, &accepted)) return FALSE;
  DWORD queued = WaitUntilSent(port->fd, deadline);
  if (queued > 0) tcflush(port->fd, TCOFLUSH);
  *count = accepted > queued ? accepted - queued : 0;
  return TRUE;
}

void PortSleep(DWORD milliseconds) { SleepMs(milliseconds); }


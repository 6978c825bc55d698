// The emulator's loop: it waits for the line, a report from the fixture,
// the watch on the pty or the next due answer, and then takes each step in
// turn; and the terminal view of the display, redrawn as it goes.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "display.h"
#include "emulator.h"

volatile std::sig_atomic_t StopRequested = 0;

namespace {

unsigned long long MsSince(Clock::time_point start) {
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return static_cast<unsigned long long>(std::max<long long>(0, elapsed.count()));
}

std::string StatusLine(const Emulator& e) {
  std::string status = e.options.name + "  mode=" + FaultModeName(e.device.faults.mode);
  status += e.device.setupMode ? "  set-up mode" : "";
  status += e.port.slaveOpen ? "  port open" : "  port closed";
  status += e.busy ? "  busy" : "";
  return status;
}

void RefreshDisplay(Emulator& e) {
  if (!e.options.display || Clock::now() < e.nextFrame) return;
  e.nextFrame = Clock::now() + std::chrono::milliseconds(20);
  std::string frame = RenderDisplayFrame(e.device.record, MsSince(e.powerUp), StatusLine(e));
  if (frame == e.lastFrame) return;
  e.lastFrame = frame;
  std::string out = e.framesShown ? "\x1b[5A" + frame : "\x1b[?25l" + frame;
  e.framesShown = true;
  if (write(STDOUT_FILENO, out.data(), out.size()) < 0) e.options.display = false;
}

int NextTimeoutMs(const Emulator& e) {
  long long timeout = 50;  // the control file and the port are looked at at this pace
  if (e.options.display) timeout = 20;
  if (!e.outbox.empty()) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(e.outbox.front().due - Clock::now());
    timeout = std::min<long long>(timeout, std::max<long long>(0, wait.count()));
  }
  return static_cast<int>(timeout);
}

}  // namespace

// While nobody has the port open the controlling side reports a hang-up at
// every poll, so it is left out of the poll then: a report or the watch
// wakes the loop when a program opens the port. The port is caught up with
// before the line is read, so that an open comes before the bytes that
// follow it (a close reads what came before it itself).
void RunLoop(Emulator& e) {
  while (!e.quit && !StopRequested) {
    pollfd fds[3] = {{e.port.watch, POLLIN, 0}, {e.reports.fd, POLLIN, 0},
                     {e.port.slaveOpen ? e.port.master : -1, POLLIN, 0}};
    if (poll(fds, 3, NextTimeoutMs(e)) < 0 && errno != EINTR) break;
    CatchUpWithPort(e);
    if (e.port.slaveOpen) ReceiveBytes(e);
    PollControlFile(e);
    SendDueBytes(e);
    RefreshDisplay(e);
  }
}

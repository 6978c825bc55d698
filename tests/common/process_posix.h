// Waiting for an event, and a check run in a child process, for the tests
// that run on Linux (the console's jobs, the POSIX seams, the console program).
#ifndef VFD_TESTS_PROCESS_POSIX_H
#define VFD_TESTS_PROCESS_POSIX_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

// Polls until the event, up to a bound that only a failing run reaches:
// passing never depends on how fast or how loaded the machine is.
inline bool WaitUntil(const std::function<bool()>& event) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!event()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// An account nobody else uses, so that its process limit counts this test
// process alone (a shared one such as nobody would count other runs' too).
inline uid_t Stranger() { return 0x60000000 + static_cast<uid_t>(getpid()); }
inline bool BecomeStranger() { return setgid(Stranger()) == 0 && setuid(Stranger()) == 0; }

// True when check, run in a child process, returns true; a child that has
// not ended by WaitUntil's bound is killed and counts as false.
inline bool InAChild(const std::function<bool()>& check) {
  pid_t child = fork();
  if (child == 0) _exit(check() ? 0 : 1);
  int status = -1;
  if (child < 0) return false;
  if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; })) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif  // VFD_TESTS_PROCESS_POSIX_H

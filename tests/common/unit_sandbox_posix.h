// The sandbox the package's apply units run the program in, read from the
// shipped unit files (deploy/systemd) when the tests run, and entered by a
// child process of a test: the rows a sandbox can change (who holds a port,
// lock files, the kept state) run in it as well as at a root prompt, and
// follow the units when they change.
#ifndef VFD_TESTS_UNIT_SANDBOX_POSIX_H
#define VFD_TESTS_UNIT_SANDBOX_POSIX_H

#include <sys/types.h>

#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

// How a row's program runs: as root at a prompt, or as the units run it.
enum RunShape { AT_A_ROOT_PROMPT, IN_THE_UNITS };
const RunShape BothShapes[] = {AT_A_ROOT_PROMPT, IN_THE_UNITS};
const char* ShapeName(RunShape shape);

struct UnitSandbox {
  std::vector<int> capabilities;         // CapabilityBoundingSet=
  bool noNewPrivileges = false;          // NoNewPrivileges=
  std::string group;                     // Group=; empty: root's own
  mode_t umask = 022;                    // UMask=
  std::vector<std::string> systemCalls;  // SystemCallFilter=, its sets spelled out; empty: no filter
  int systemCallError = 1;               // SystemCallErrorNumber= (EPERM)
  std::string problem;                   // a setting these tests do not know, or files that cannot be read
};

// The [Service] settings of both apply units and their shared drop-in, read
// once per test process.
const UnitSandbox& TheUnitSandbox();

// Turns this process (root, a child of the test) into what the units run:
// the group, the umask, the capability bounding set (and no capability
// outside it), no new privileges, the system call filter. False when a step
// failed.
bool EnterUnitSandbox(const UnitSandbox& sandbox);

// The bytes run returns, computed in a child process of that shape (root at
// a prompt: as this process is). False when the child could not enter the
// shape or did not answer within WaitUntil's bound.
bool InShapeBytes(RunShape shape, const std::function<std::string()>& run, std::string* bytes);

// The same for a plain record.
template <typename Result>
bool InShape(RunShape shape, const std::function<Result()>& run, Result* result) {
  static_assert(std::is_trivially_copyable<Result>::value, "a record that a pipe can carry");
  std::string bytes;
  bool answered = InShapeBytes(shape, [&run] {
    Result made = run();
    return std::string(reinterpret_cast<const char*>(&made), sizeof made);
  }, &bytes);
  if (!answered || bytes.size() != sizeof(Result)) return false;
  std::memcpy(static_cast<void*>(result), bytes.data(), sizeof(Result));
  return true;
}

#endif  // VFD_TESTS_UNIT_SANDBOX_POSIX_H

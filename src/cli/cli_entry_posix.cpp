// The console program's entry on POSIX.
#include <string>
#include <vector>

#include "cli/cli_main.h"

// Arguments arrive in the locale's encoding, which is UTF-8 on any current
// system; the rows are checked for it.
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunConsoleProgram(args);
}

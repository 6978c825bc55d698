// The console program's entry on POSIX.
#include <string>
#include <vector>

#include "cli/cli_main.h"
#include "cli/cli_platform.h"

int main(int argc, char** argv) {
  PrepareProcess();  // before anything opens a file
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunConsoleProgram(args);
}

// The console program's Unicode entry on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli_main.h"
#include "cli/cli_platform.h"
#include "text/utf_convert.h"

int wmain(int argc, wchar_t** argv) {
  PrepareProcess();  // before anything opens a file
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(BytesFromUtf16(reinterpret_cast<const char16_t*>(argv[i])));
  return RunConsoleProgram(args);
}

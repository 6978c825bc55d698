// The console program's Unicode entry on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli_main.h"
#include "cli/text_convert.h"

int wmain(int argc, wchar_t** argv) {
  // UTF-8 on the console, as in the JSON and in redirected output.
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  return RunConsoleProgram(args);
}

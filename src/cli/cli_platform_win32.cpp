// The few platform facts the console program needs beyond the seams, on
// Windows.
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/text_convert.h"

namespace {

std::string Narrow(const wchar_t* text) {
  std::u16string wide(reinterpret_cast<const char16_t*>(text));
  return Utf16ToUtf8(wide);
}

std::wstring Widen(const std::string& text) {
  std::u16string wide;
  Utf8ToUtf16(text, &wide);
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

std::string DefaultStateDir() {
  const wchar_t* programData = _wgetenv(L"ProgramData");
  std::string base = programData != nullptr ? Narrow(programData) : "C:\\ProgramData";
  return base + "\\vfdstartup";
}

// The write sequence puts \\.\ in front of the name itself.
std::string PortNameForSequence(const std::string& port) {
  return port.compare(0, 4, "\\\\.\\") == 0 ? port.substr(4) : port;
}

FILE* OpenFileForWriting(const std::string& path) { return _wfopen(Widen(path).c_str(), L"wb"); }

bool SyncFileToDisk(FILE* file) { return _commit(_fileno(file)) == 0; }

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

const char* AccessDeniedHint() {
  return "another program may hold the port, or the user lacks access to it";
}

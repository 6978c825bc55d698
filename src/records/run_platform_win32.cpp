// Recording a run on Windows: windows_exporter's text file directory; no
// journal (the service writes the Event Log).
#include <windows.h>

#include <algorithm>
#include <ctime>

#include "records/run_platform.h"
#include "text/utf_convert.h"

namespace {

std::wstring Wide(const std::string& text) {
  std::u16string wide;
  if (!Utf8ToUtf16(text, &wide)) wide = Utf16FromBytes(text);
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

bool ListDirectory(const std::string& dir, std::vector<std::string>* names, std::string* reason) {
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    *reason = "cannot list " + dir + ": Windows error " + std::to_string(error);
    return false;
  }
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names->push_back(Utf16ToUtf8(std::u16string(name.begin(), name.end())));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names->begin(), names->end());
  return true;
}

bool DirectoryExists(const std::string& dir) {
  DWORD attributes = GetFileAttributesW(Wide(dir).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

long long NowSeconds() { return static_cast<long long>(std::time(nullptr)); }

std::string UtcText(long long seconds) {
  time_t when = static_cast<time_t>(seconds);
  struct tm* parts = std::gmtime(&when);
  char text[32] = {};
  if (parts != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", parts);
  return text;
}

std::string DefaultMetricsDir() { return "C:\\Program Files\\windows_exporter\\textfile_inputs"; }

std::string PathIn(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  size_t slash = path.find_last_of("\\/");
  *dir = slash == std::string::npos ? "." : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JournalSocketPath() { return ""; }

bool SendJournalDatagram(const std::string&, const std::string&) { return false; }

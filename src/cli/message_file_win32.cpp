// The message file on Windows.
#include <windows.h>

#include <cwchar>

#include "cli/cli_platform.h"
#include "cli/message_file_platform.h"
#include "records/record_platform.h"
#include "text/utf_convert.h"

namespace {

const DWORD FileLimit = 64 * 1024;
const size_t PortNameMax = 16;

std::wstring Wide(const std::string& text) {
  std::u16string wide;
  if (!Utf8ToUtf16(text, &wide)) wide = Utf16FromBytes(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string ErrorText(const std::string& path) {
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "cannot read " + path + ": no such file";
  return "cannot read " + path + ": Windows error " + std::to_string(error);
}

bool ReadAll(HANDLE file, std::string* text) {
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (ReadFile(file, buffer, sizeof buffer, &n, nullptr) == 0) return false;
    if (n == 0 || text->size() > FileLimit) return true;
    text->append(buffer, n);
  }
}

}  // namespace

// Beside the kept state, in %ProgramData%\vfdstartup.
std::string DefaultMessageFilePath() { return DefaultStateDir() + "\\message.conf"; }

// Shared with whoever replaces the file meanwhile: an editor or a deployment
// tool never finds it locked by a run at start-up.
bool ReadMessageFileText(const std::string& path, std::string* text, std::string* error) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = ErrorText(path);
    return false;
  }
  text->clear();
  bool regular = GetFileType(file) == FILE_TYPE_DISK;
  bool read = regular && ReadAll(file, text);
  if (!regular) *error = path + " is not a regular file";
  else if (!read) *error = ErrorText(path);
  else if (text->size() > FileLimit) *error = path + " is larger than a message file can be (64 KiB)";
  CloseHandle(file);
  return regular && read && text->size() <= FileLimit;
}

bool MessageFileAbsent(const std::string& path) {
  if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A port's name as the registry lists it (COM3), with or without \\.\.
bool CheckPortSetting(const std::string& value, std::string* why) {
  std::u16string name = PortNameFromArgument(value);
  bool plain = !name.empty() && name.size() <= PortNameMax && name.find_first_of(u"\\/:*?\" ") == std::u16string::npos;
  if (!plain) *why = "port is a COM port's name such as COM3";
  return plain;
}

std::vector<std::u16string> PortsOfSetting(const std::string& value) { return {PortNameFromArgument(value)}; }

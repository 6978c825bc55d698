#include "rig_client.h"

#include <cstdlib>
#include <cwctype>

namespace {

// /tmp/vfd-wine-rig.ab12 -> Z:\tmp\vfd-wine-rig.ab12
std::wstring RigDirectory() {
  wchar_t unixPath[1024];
  DWORD length = GetEnvironmentVariableW(L"VFD_RIG_DIR", unixPath, 1024);
  if (length == 0 || length >= 1024) return L"";
  std::wstring path = L"Z:";
  for (DWORD i = 0; i < length; ++i) path += unixPath[i] == L'/' ? L'\\' : unixPath[i];
  return path;
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

bool AppendToFile(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

}  // namespace

bool RigAvailable() {
  return !RigDirectory().empty();
}

std::wstring RigPortFile(const wchar_t* port, const wchar_t* suffix) {
  std::wstring dir = RigDirectory();
  if (dir.empty()) return L"";
  std::wstring name;
  for (const wchar_t* c = port; *c; ++c) name += static_cast<wchar_t>(std::towlower(*c));
  // Not com1.log: Windows takes any name COMn.xxx for the device COMn.
  return dir + L"\\vfd-" + name + suffix;
}

std::string RigReadFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

bool RigControl(const wchar_t* port, const std::string& command, DWORD timeoutMs, std::string* error) {
  std::wstring control = RigPortFile(port, L".ctl");
  if (control.empty() || !AppendToFile(control, command + "\n")) {
    if (error) *error = "cannot write the control file";
    return false;
  }
  size_t target = CountLines(RigReadFile(control));
  for (DWORD waited = 0; waited <= timeoutMs; waited += 10) {
    std::string ack = RigReadFile(control + L".ack");
    if (!ack.empty() && std::strtoul(ack.c_str(), nullptr, 10) >= target) {
      size_t space = ack.find(' ');
      bool ok = space != std::string::npos && ack.compare(space, 3, " ok") == 0;
      if (!ok && error) *error = ack;
      return ok;
    }
    Sleep(10);
  }
  if (error) *error = "no acknowledgement from the emulator";
  return false;
}

std::vector<std::string> RigLogLines(const wchar_t* port) {
  std::string text = RigReadFile(RigPortFile(port, L".log"));
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find('\n', start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string RigWaitForLog(const wchar_t* port, const std::vector<std::string>& fragments, DWORD timeoutMs) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    for (const std::string& line : RigLogLines(port)) {
      bool all = true;
      for (const std::string& fragment : fragments) all = all && line.find(fragment) != std::string::npos;
      if (all) return line;
    }
    Sleep(20);
  }
  return "";
}

std::string RigStoredRecord(const wchar_t* port) {
  std::string record = RigReadFile(RigPortFile(port, L".rec"));
  return record.size() == 128 ? record : "";
}

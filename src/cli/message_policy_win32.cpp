// The policy's key on Windows. Group Policy's client and Intune's policy CSP
// run as 64-bit processes and write the 64-bit view. SOFTWARE is redirected
// for a 32-bit process (this one) to SOFTWARE\WOW6432Node, but from Windows
// 7 on SOFTWARE\Policies is one of its shared subkeys (one key seen in both
// views); on Vista and earlier it was redirected. The key is opened in the
// 64-bit view explicitly (KEY_WOW64_64KEY), which is where the policy is on
// every version; 32-bit Windows ignores the flag.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/message_policy.h"
#include "text/utf_convert.h"

namespace {

const wchar_t PolicyKeyPath[] = L"SOFTWARE\\Policies\\vfdstartup";
const DWORD TextLimitBytes = 4096;  // far beyond a row of 63 characters

std::wstring WideOf(const char* name) { return std::wstring(name, name + std::char_traits<char>::length(name)); }

std::string TextOf(const std::vector<wchar_t>& data, DWORD bytes) {
  size_t length = bytes / sizeof(wchar_t);
  while (length > 0 && data[length - 1] == L'\0') --length;  // the stored terminator
  return Utf16ToUtf8(std::u16string(data.begin(), data.begin() + length));
}

// One value; false with why when it is there but cannot be read.
bool ReadValue(HKEY key, const char* name, PolicyValue* value, std::string* why) {
  DWORD type = 0, bytes = TextLimitBytes;
  std::vector<wchar_t> data(TextLimitBytes / sizeof(wchar_t) + 1, L'\0');
  LONG status = RegQueryValueExW(key, WideOf(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
  *value = PolicyValue();
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) {
    *why = std::string(PolicyKeyName) + "\\" + name + ": cannot be read (Windows error " + std::to_string(status) + ")";
    return false;
  }
  if (type == REG_SZ) value->text = TextOf(data, bytes);
  if (type == REG_DWORD && bytes == sizeof(DWORD)) value->number = *reinterpret_cast<const DWORD*>(data.data());
  value->type = type == REG_SZ ? POLICY_TEXT : type == REG_DWORD && bytes == sizeof(DWORD) ? POLICY_NUMBER
                                                                                          : POLICY_OTHER_TYPE;
  return true;
}

}  // namespace

bool ReadMessagePolicy(MessagePolicy* policy, std::string* error) {
  *policy = MessagePolicy();
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, PolicyKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) {
    *error = std::string(PolicyKeyName) + ": cannot be read (Windows error " + std::to_string(status) + ")";
    return false;
  }
  bool read = true;
  for (int k = 0; k < MESSAGE_KEYS && read; ++k)
    read = ReadValue(key, PolicyValueName(MessageKey(k)), &policy->values[k], error);
  RegCloseKey(key);
  return read;
}

// The records' platform on Windows: the state directory and its files.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdlib>
#include <cwctype>
#include <random>
#include <vector>

#include "records/record_platform.h"
#include "records/state_access_win32.h"
#include "text/utf_convert.h"

namespace {

// SYSTEM and Administrators may change the state, every user may read it:
// an ordinary account cannot plant a state that makes --if-changed skip a
// write. Protected, so the parent's looser rights are not inherited.
const wchar_t StateDirectoryAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

std::wstring Wide(const std::string& text) {
  std::u16string wide;
  if (!Utf8ToUtf16(text, &wide)) wide = Utf16FromBytes(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& text) { return Utf16ToUtf8(std::u16string(text.begin(), text.end())); }

std::string ErrorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": Windows error " + std::to_string(GetLastError());
}

std::string Joined(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

bool IsDirectory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateStateDirectory(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(StateDirectoryAccess, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  bool created = CreateDirectoryW(path.c_str(), &attributes) != 0;
  // Set once more on the new directory: not every implementation of
  // CreateDirectoryW applies the attributes' rights.
  if (created)
    SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return created;
}

// Parents as they come (%ProgramData% is there); the state directory itself
// with its own rights.
bool EnsureDirectory(const std::string& dir, bool isStateDir, std::string* reason) {
  std::wstring path = Wide(dir);
  if (IsDirectory(path)) return true;
  size_t slash = dir.find_last_of("\\/");
  if (slash != std::string::npos && slash > 2 && !EnsureDirectory(dir.substr(0, slash), false, reason)) return false;
  bool created = isStateDir ? CreateStateDirectory(path) : CreateDirectoryW(path.c_str(), nullptr) != 0;
  if (created || GetLastError() == ERROR_ALREADY_EXISTS) return true;
  *reason = ErrorText("cannot create", dir);
  return false;
}

// A fresh name, created here and only here.
HANDLE CreateTemporary(const std::string& dir, const std::string& name, std::string* path) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    *path = Joined(dir, name + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random()));
    HANDLE file = CreateFileW(Wide(*path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Rights that change what a directory holds or who may change it.
const ACCESS_MASK ChangingRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const wchar_t TrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsTrusted(PSID sid, PSID self) {
  for (WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid})
    if (IsWellKnownSid(sid, type)) return true;
  PSID installer = nullptr;
  bool trusted = self != nullptr && EqualSid(sid, self);
  if (!trusted && ConvertStringSidToSidW(TrustedInstaller, &installer)) trusted = EqualSid(sid, installer);
  if (installer != nullptr) LocalFree(installer);
  return trusted;
}

// "BUILTIN\Users", or the SID's string when it has no name here.
std::string AccountName(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
    return Narrow(domainSize > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name));
  wchar_t* text = nullptr;
  std::string found = ConvertSidToStringSidW(sid, &text) ? Narrow(text) : "an unknown account";
  if (text != nullptr) LocalFree(text);
  return found;
}

// The account running the program; null when it cannot be told (then only
// the system's own accounts count as trusted).
std::vector<BYTE> SelfSid() {
  HANDLE token = nullptr;
  std::vector<BYTE> user(512);
  DWORD size = 0;
  bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
               GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
  if (token != nullptr) CloseHandle(token);
  if (!known) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

std::string RightsFix(const std::string& dir) {
  return "an administrator removes " + dir + " (the program makes it anew, with its own rights) or resets them: "
         "icacls \"" + dir + "\" /setowner *S-1-5-32-544 and icacls \"" + dir +
         "\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX";
}

bool WriteAndFlush(HANDLE file, const std::string& text) {
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
            written == text.size() && FlushFileBuffers(file) != 0;
  return CloseHandle(file) != 0 && ok;
}

// Who may change the file or directory behind this handle, by its owner and
// rights; empty: only those trusted.
std::string WhoElseMayChange(HANDLE directory) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &descriptor);
  std::vector<BYTE> self = SelfSid();
  std::string who;
  if (error != ERROR_SUCCESS) who = "its rights cannot be read (Windows error " + std::to_string(error) + ")";
  else AccessLetsOthersChange(owner, dacl, self.empty() ? nullptr : self.data(), &who);
  if (descriptor != nullptr) LocalFree(descriptor);
  return who;
}

// The directory itself, never what a junction or a link in its place leads
// to, held so that it cannot be renamed or removed (no FILE_SHARE_DELETE)
// while a file is written in it; INVALID_HANDLE_VALUE with why when it
// cannot be held or other accounts may change it. A file written as SYSTEM
// in a folder an ordinary account controls could be led anywhere.
HANDLE HoldTrustedDirectory(const std::string& dir, std::string* why) {
  HANDLE held = CreateFileW(Wide(dir).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    *why = "it cannot be held (Windows error " + std::to_string(GetLastError()) + ")";
    return held;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(held, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    *why = "it is not a directory";
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) *why = "it is a junction or a link";
  else *why = WhoElseMayChange(held);
  if (why->empty()) return held;
  CloseHandle(held);
  return INVALID_HANDLE_VALUE;
}

// Held as above, or INVALID_HANDLE_VALUE with the reason nothing is written
// in it.
HANDLE HoldForWriting(const std::string& dir, std::string* reason) {
  std::string why;
  HANDLE held = HoldTrustedDirectory(dir, &why);
  if (held == INVALID_HANDLE_VALUE) *reason = "nothing is written in " + dir + ": " + why + "; " + RightsFix(dir);
  return held;
}

}  // namespace

// The machine's ProgramData folder as Windows defines it, not as the
// environment says: a service's environment need not hold %ProgramData%
// (Wine's service manager gives C:\users\Public there).
std::string DefaultStateDir() {
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK)
    return Narrow(folder) + "\\vfdstartup";
  const wchar_t* programData = _wgetenv(L"ProgramData");
  std::string base = programData != nullptr ? Narrow(programData) : "C:\\ProgramData";
  return base + "\\vfdstartup";
}

FileRead ReadSmallFile(const std::string& dir, const std::string& name, size_t limit, std::string* text,
                       std::string* reason) {
  std::string path = Joined(dir, name);
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FILE_ABSENT;
    *reason = ErrorText("cannot read", path);
    return FILE_UNREADABLE;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  // A file another account may change (one it left in the folder before the
  // package took the folder back, say) is its claim, not this program's.
  std::string who = regular ? WhoElseMayChange(file) : "";
  char buffer[1024];
  DWORD got = 0;
  text->clear();
  while (regular && who.empty() && text->size() <= limit && ReadFile(file, buffer, sizeof buffer, &got, nullptr) &&
         got > 0)
    text->append(buffer, got);
  CloseHandle(file);
  if (!regular) *reason = path + " is not a regular file";
  else if (!who.empty()) *reason = path + " is not trusted: " + who;
  else if (text->size() > limit) *reason = path + " is too large for a state file";
  return !regular || !who.empty() ? FILE_NOT_REGULAR : text->size() > limit ? FILE_UNREADABLE : FILE_READ;
}

namespace {

bool WriteThenRename(const std::string& dir, const std::string& name, const std::string& text, std::string* reason) {
  std::string temporary;
  HANDLE file = CreateTemporary(dir, name, &temporary);
  if (file == INVALID_HANDLE_VALUE) {
    *reason = ErrorText("cannot create a file in", dir);
    return false;
  }
  bool written = WriteAndFlush(file, text) &&
                 MoveFileExW(Wide(temporary).c_str(), Wide(Joined(dir, name)).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!written) {
    *reason = ErrorText("cannot write", Joined(dir, name));
    DeleteFileW(Wide(temporary).c_str());
  }
  return written;
}

}  // namespace

// Nothing at all, not even the temporary, goes into a directory that fails
// the trust check.
bool ReplaceFileSynced(const std::string& dir, const std::string& name, const std::string& text,
                       std::string* reason) {
  if (!EnsureDirectory(dir, true, reason)) return false;
  HANDLE held = HoldForWriting(dir, reason);
  if (held == INVALID_HANDLE_VALUE) return false;
  bool replaced = WriteThenRename(dir, name, text, reason);
  CloseHandle(held);
  return replaced;
}

bool AccessLetsOthersChange(PSID owner, PACL dacl, PSID self, std::string* who) {
  if (owner != nullptr && !IsTrusted(owner, self)) {
    *who = AccountName(owner) + " owns it";
    return true;
  }
  if (dacl == nullptr) {
    *who = "everybody may change it (no access list)";
    return true;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry) || static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & ChangingRights) == 0 || IsTrusted(sid, self)) continue;
    *who = AccountName(sid) + " may change it";
    return true;
  }
  return false;
}

bool StateDirTrusted(const std::string& dir, std::string* reason) {
  if (!IsDirectory(Wide(dir))) return true;
  std::string who;
  HANDLE held = HoldTrustedDirectory(dir, &who);
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return true;
  }
  *reason = "the state directory " + dir + " is not used: " + who + ", so a state found there proves nothing; " +
            RightsFix(dir);
  return false;
}

std::string StateDirHint(const std::string&) { return "run as an administrator, or an administrator removes the file"; }

bool FileRemovable(const std::string& dir, const std::string& name, std::string* reason) {
  std::string path = Joined(dir, name);
  HANDLE file = CreateFileW(Wide(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info = {};
    bool directory = GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(file);
    if (!directory) return true;
    *reason = "cannot remove " + path + ": it is a directory";
    return false;
  }
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  *reason = ErrorText("cannot remove", path);
  return false;
}

// Nor is anything removed from one: a removal led elsewhere is as harmful.
bool RemoveFileSynced(const std::string& dir, const std::string& name, std::string* reason) {
  if (!IsDirectory(Wide(dir))) return true;
  HANDLE held = HoldForWriting(dir, reason);
  if (held == INVALID_HANDLE_VALUE) return false;
  std::string path = Joined(dir, name);
  bool removed = DeleteFileW(Wide(path).c_str()) != 0;
  DWORD error = GetLastError();
  CloseHandle(held);
  if (removed || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  SetLastError(error);
  *reason = ErrorText("cannot remove", path);
  return false;
}

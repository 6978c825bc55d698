#include "rig_fixture.h"

#include <cstdio>
#include <cstring>

#include "protocol_expected.h"
#include "rig_client.h"

namespace {

std::wstring WideKey(const char* path) { return std::wstring(path, path + std::strlen(path)); }

const std::wstring SerialCommKey = WideKey(expected::PortListKey);
const std::wstring OposKey = WideKey(expected::LineDisplayKey);

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

size_t CountEvents(const wchar_t* port, const std::string& event) {
  return EventsNamed(port, event).size();
}

HANDLE OpenRaw(const wchar_t* port) {
  std::wstring path = std::wstring(L"\\\\.\\") + port;
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

// 19200 8N2, XON/XOFF both ways, no hardware handshake, DTR and RTS low:
// every field a profile sets differs from this. (A pty keeps neither parity
// nor a character size other than 8: Linux forces CS8 and clears PARENB.)
bool ApplyForeignSettings(HANDLE handle) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) return false;
  dcb.BaudRate = 19200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  return SetCommState(handle, &dcb) != FALSE;
}

bool DeleteAllValues(HKEY key) {
  for (;;) {
    wchar_t name[256];
    DWORD length = 256;
    LONG result = RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return true;
    if (result != ERROR_SUCCESS || RegDeleteValueW(key, name) != ERROR_SUCCESS) return false;
  }
}

bool SetValue(HKEY key, const SerialCommValue& value) {
  if (value.type == REG_DWORD) {
    return RegSetValueExW(key, value.name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value.number), sizeof value.number) ==
           ERROR_SUCCESS;
  }
  DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, value.name.c_str(), 0, value.type,
                        reinterpret_cast<const BYTE*>(value.text.c_str()), bytes) == ERROR_SUCCESS;
}

}  // namespace

// ---- emulators --------------------------------------------------------------

bool Emulator(const wchar_t* port, const std::vector<std::string>& commands) {
  // One append and one wait for the lot: the emulator polls its control
  // file every 50 ms. The acknowledgement speaks for the last line; the log
  // tells of a refused earlier one.
  std::string batch;
  for (const std::string& command : commands) batch += (batch.empty() ? "" : "\n") + command;
  if (batch.empty()) return true;
  std::string error;
  bool ok = RigControl(port, batch, RigWaitMs, &error);
  for (const LogEvent& e : EventsNamed(port, "control")) {
    if (JsonField(e.json, "ok") != "false") continue;
    ok = false;
    error = e.json;
  }
  if (!ok) std::fprintf(stderr, "emulator %s: %s\n", Narrow(port).c_str(), error.c_str());
  return ok;
}

bool ResetEmulator(const wchar_t* port) {
  return Emulator(port, {"reset-log", "busy off", "mode normal", "product-type default",
                         "reply-delay 0", "power-cycle", "record default"});
}

// ---- the emulator's log -------------------------------------------------------

std::vector<LogEvent> LogEvents(const wchar_t* port) {
  std::vector<LogEvent> events;
  for (const std::string& line : RigLogLines(port)) {
    std::string name = JsonField(line, "event");
    if (name.size() >= 2) events.push_back(LogEvent{name.substr(1, name.size() - 2), line});
  }
  return events;
}

std::vector<LogEvent> EventsNamed(const wchar_t* port, const std::string& event) {
  std::vector<LogEvent> named;
  for (const LogEvent& e : LogEvents(port))
    if (e.event == event) named.push_back(e);
  return named;
}

LogEvent WaitForEvent(const wchar_t* port, const std::string& event, size_t count,
                      DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    std::vector<LogEvent> named = EventsNamed(port, event);
    if (named.size() >= count) return named.back();
    if (GetTickCount() - start > timeoutMs) return LogEvent();
    Sleep(10);
  }
}

std::string JsonField(const std::string& json, const std::string& key) {
  std::string pattern = "\"" + key + "\":";
  size_t start = json.find(pattern);
  if (start == std::string::npos) return "";
  start += pattern.size();
  size_t end = start;
  if (json[start] == '{') {
    int depth = 0;
    do {
      depth += json[end] == '{' ? 1 : json[end] == '}' ? -1 : 0;
      ++end;
    } while (end < json.size() && depth > 0);
  } else if (json[start] == '"') {
    end = start + 1;
    while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
    ++end;
  } else {
    while (end < json.size() && json[end] != ',' && json[end] != '}') ++end;
  }
  return json.substr(start, end - start);
}

std::vector<BYTE> ReceivedBytes(const wchar_t* port) {
  std::vector<BYTE> bytes;
  for (const LogEvent& e : EventsNamed(port, "rx")) {
    if (!JsonField(e.json, "dropped").empty()) continue;
    std::string piece = JsonField(e.json, "hex");  // "1f2865..." with its quotes
    for (size_t i = 1; i + 2 < piece.size(); i += 2)
      bytes.push_back(static_cast<BYTE>(std::stoul(piece.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<std::string> CommandNames(const wchar_t* port) {
  std::vector<std::string> names;
  for (const LogEvent& e : EventsNamed(port, "command")) {
    std::string name = JsonField(e.json, "name");
    names.push_back(name.size() >= 2 ? name.substr(1, name.size() - 2) : name);
  }
  return names;
}

std::string SetForeignLineSettings(const wchar_t* port) {
  size_t closes = CountEvents(port, "close");
  HANDLE handle = OpenRaw(port);
  if (handle == INVALID_HANDLE_VALUE) return "";
  bool applied = ApplyForeignSettings(handle);
  CloseHandle(handle);
  LogEvent close = WaitForEvent(port, "close", closes + 1);
  if (!applied || close.json.empty() || !Emulator(port, {"reset-log"})) return "";
  return JsonField(close.json, "line");
}

// ---- registry ---------------------------------------------------------------

SerialCommValue PortValue(const std::wstring& name, const std::wstring& port) {
  return SerialCommValue{name, REG_SZ, port, 0};
}

SerialCommValue DwordValue(const std::wstring& name, DWORD number) {
  return SerialCommValue{name, REG_DWORD, L"", number};
}

bool SetSerialComm(const std::vector<SerialCommValue>& values) {
  HKEY key = nullptr;
  // HKLM\HARDWARE is volatile: a key deleted by a case comes back volatile.
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  bool ok = DeleteAllValues(key);
  for (const SerialCommValue& value : values) ok = ok && SetValue(key, value);
  RegCloseKey(key);
  return ok;
}

bool SetDefaultSerialComm() {
  return SetSerialComm({PortValue(L"\\Device\\Serial0", L"COM1"),
                        PortValue(L"\\Device\\Serial1", L"COM2")});
}

bool DeleteSerialCommKey() {
  LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, SerialCommKey.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool SetOposPort(REGSAM view, const std::wstring& port) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, OposKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  DWORD bytes = static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t));
  LONG result = RegSetValueExW(key, L"Port", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(port.c_str()), bytes);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

void DeleteOposPort(REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, OposKey.c_str(), 0, KEY_SET_VALUE | view, &key) != ERROR_SUCCESS)
    return;
  RegDeleteValueW(key, L"Port");
  RegCloseKey(key);
}

bool ResetRigState() {
  DeleteOposPort(KEY_WOW64_32KEY);
  DeleteOposPort(KEY_WOW64_64KEY);
  return SetDefaultSerialComm() && ResetEmulator(L"COM1") && ResetEmulator(L"COM2");
}

namespace {

// SystemHandleInformation (16): a count, then one entry per handle.
struct SystemHandleEntry {
  ULONG ownerPid;
  BYTE objectType;
  BYTE flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};
struct SystemHandleTable {
  ULONG count;
  SystemHandleEntry entries[1];
};
typedef LONG(WINAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
const ULONG HandleInformationClass = 16;

}  // namespace

DWORD OpenHandleCount() {
  QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  std::vector<BYTE> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    LONG status = query(HandleInformationClass, buffer.data(), static_cast<ULONG>(buffer.size()),
                        &needed);
    if (status == 0) break;
    if (buffer.size() >= (1u << 26)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  const SystemHandleTable* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
  DWORD mine = 0;
  for (ULONG i = 0; i < table->count; ++i) mine += table->entries[i].ownerPid == GetCurrentProcessId();
  return mine;
}

double NowMs() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

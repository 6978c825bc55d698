// What tells one attachment of a COM port from the next on Windows.
#include "records/port_attachment_win32.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwctype>

namespace {

// Ports (COM & LPT): where a USB serial adapter's device and a built-in
// UART's are listed, each with its "PortName" ("COM3").
const GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// DEVPKEY_Device_LastArrivalDate: set each time the device arrives (plugged
// in, or found at boot), so a display plugged in again is a new attachment.
const DEVPROPKEY LastArrivalKey = {{0x83da6326, 0x97a6, 0x4088, {0x94, 0x53, 0xa1, 0x92, 0x3f, 0x57, 0x3b, 0x29}}, 102};
const wchar_t BootIdKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management\\PrefetchParameters";

struct TimeOfDay {  // SYSTEM_TIMEOFDAY_INFORMATION
  LARGE_INTEGER bootTime, currentTime, timeZoneBias;
  ULONG timeZoneId, reserved;
  ULONGLONG bootTimeBias, sleepTimeBias;
};
typedef LONG(WINAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
const ULONG SystemTimeOfDayInformation = 3;

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// Windows counts its boots (8 and later); elsewhere the time of the boot.
std::string Boot() {
  DWORD id = 0, size = sizeof id;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, BootIdKey, L"BootId", RRF_RT_REG_DWORD, nullptr, &id, &size) == ERROR_SUCCESS)
    return "boot " + std::to_string(id);
  TimeOfDay time = {};
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC query = ntdll != nullptr ? GetProcAddress(ntdll, "NtQuerySystemInformation") : nullptr;
  if (query == nullptr ||
      reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(query))(SystemTimeOfDayInformation, &time,
                                                                                sizeof time, nullptr) < 0)
    return "";
  return "boot at " + std::to_string(time.bootTime.QuadPart);
}

bool IsPortNamed(HDEVINFO devices, SP_DEVINFO_DATA* device, const std::wstring& upperName) {
  HKEY key = SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return false;
  wchar_t name[64] = {};
  DWORD size = sizeof name - sizeof name[0], type = 0;
  bool named = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
               type == REG_SZ && Upper(name) == upperName;
  RegCloseKey(key);
  return named;
}

std::string ArrivalOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
  FILETIME arrival = {};
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(devices, device, &LastArrivalKey, &type, reinterpret_cast<BYTE*>(&arrival), sizeof arrival,
                                 nullptr, 0) ||
      type != DEVPROP_TYPE_FILETIME)
    return "";
  char text[48];
  std::snprintf(text, sizeof text, " arrived %lu.%lu", arrival.dwHighDateTime, arrival.dwLowDateTime);
  return text;
}

// The port's device among those present; empty when none is named so.
std::string LastArrivalOf(const std::wstring& upperName) {
  HDEVINFO devices = SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return "";
  std::string arrival;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; arrival.empty() && SetupDiEnumDeviceInfo(devices, i, &device); ++i)
    if (IsPortNamed(devices, &device, upperName)) arrival = ArrivalOf(devices, &device);
  SetupDiDestroyDeviceInfoList(devices);
  return arrival;
}

}  // namespace

std::string PortAttachment(const std::wstring& upperName) {
  std::string boot = Boot();
  return boot.empty() ? "" : boot + LastArrivalOf(upperName);
}

// The registry reads on Windows: each one is exactly one advapi32 call.
#include "discovery/registry_ops.h"

namespace {

LPCWSTR Wide(const Utf16Unit* text) { return reinterpret_cast<LPCWSTR>(text); }

}  // namespace

LONG RegistryOpenKey(HKEY root, const Utf16Unit* subKey, HKEY* key) {
  // Reading only. No KEY_WOW64_64KEY either: as a 32-bit program we want the
  // 32-bit view of SOFTWARE, where the OPOS configuration is kept for us.
  return RegOpenKeyExW(root, Wide(subKey), 0, KEY_QUERY_VALUE, key);
}

LONG RegistryQueryInfoKey(HKEY key, DWORD* valueCount, DWORD* maxValueNameLength,
                          DWORD* maxValueDataBytes) {
  return RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, valueCount,
                          maxValueNameLength, maxValueDataBytes, NULL, NULL);
}

LONG RegistryEnumValue(HKEY key, DWORD index, Utf16Unit* name, DWORD* nameLength, DWORD* type,
                       BYTE* data, DWORD* dataBytes) {
  return RegEnumValueW(key, index, reinterpret_cast<LPWSTR>(name), nameLength, NULL, type, data,
                       dataBytes);
}

LONG RegistryQueryValue(HKEY key, const Utf16Unit* valueName, DWORD* type, BYTE* data,
                        DWORD* dataBytes) {
  return RegQueryValueExW(key, Wide(valueName), NULL, type, data, dataBytes);
}

LONG RegistryCloseKey(HKEY key) { return RegCloseKey(key); }

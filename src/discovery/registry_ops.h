// The registry reads discovery needs: one thin wrapper per advapi32 call.
// registry_ops_win32.cpp forwards them to Windows; the native tests link a
// simulated registry. Every key is opened with KEY_QUERY_VALUE only.
#ifndef VFD_REGISTRY_OPS_H
#define VFD_REGISTRY_OPS_H

#include "win_types.h"

// RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, key).
LONG RegistryOpenKey(HKEY root, const Utf16Unit* subKey, HKEY* key);
// RegQueryInfoKeyW: number of values, longest value name (characters,
// without terminator), longest value data (bytes).
LONG RegistryQueryInfoKey(HKEY key, DWORD* valueCount, DWORD* maxValueNameLength,
                          DWORD* maxValueDataBytes);
// RegEnumValueW: nameLength in characters (in: buffer size, out: length),
// dataBytes in bytes (in: buffer size, out: data size).
LONG RegistryEnumValue(HKEY key, DWORD index, Utf16Unit* name, DWORD* nameLength,
                       DWORD* type, BYTE* data, DWORD* dataBytes);
// RegQueryValueExW.
LONG RegistryQueryValue(HKEY key, const Utf16Unit* valueName, DWORD* type, BYTE* data,
                        DWORD* dataBytes);
LONG RegistryCloseKey(HKEY key);

#endif  // VFD_REGISTRY_OPS_H

// Simulated advapi32 registry reads over SimRegKey records.
#include "sim_registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "discovery/registry_ops.h"
#include "protocol_expected.h"

namespace {

const LONG SimErrorInvalidHandle = 6;

struct SimRegistry {
  std::vector<std::unique_ptr<SimRegKey>> keys;
  std::map<uintptr_t, SimRegKey*> openKeys;
  uintptr_t nextHandle = 0x7000;
  std::vector<SimRegCall> calls;
};

SimRegistry& Registry() {
  static SimRegistry registry;
  return registry;
}

LONG Log(const std::string& kind, const SimRegKey* key, DWORD index, DWORD nameLength,
         DWORD dataBytes, bool buffersClear, LONG result) {
  Registry().calls.push_back(
      {kind, key ? key->path : std::string(), index, nameLength, dataBytes, buffersClear, result});
  return result;
}

SimRegKey* KeyOf(HKEY handle) {
  auto it = Registry().openKeys.find(reinterpret_cast<uintptr_t>(handle));
  return it == Registry().openKeys.end() ? nullptr : it->second;
}

bool AllZero(const void* buffer, size_t bytes) {
  const BYTE* p = static_cast<const BYTE*>(buffer);
  return buffer == nullptr || std::all_of(p, p + bytes, [](BYTE b) { return b == 0; });
}

const SimRegValue* FindValue(const SimRegKey* key, const Utf16Unit* name) {
  std::u16string wanted;
  for (; name && *name; ++name) wanted += *name;
  for (const SimRegValue& value : key->values)
    if (value.name == wanted) return &value;
  return nullptr;
}

// As advapi32: the whole data, or ERROR_MORE_DATA with the size needed. The
// buffer is undefined after ERROR_MORE_DATA; here it gets what fits, so that
// a program that trusts it anyway is caught.
LONG CopyData(const Bytes& data, BYTE* buffer, DWORD* bytes) {
  DWORD room = *bytes;
  *bytes = static_cast<DWORD>(data.size());
  if (buffer == nullptr) return ERROR_SUCCESS;
  if (data.size() > room) {
    std::memcpy(buffer, data.data(), room);
    return ERROR_MORE_DATA;
  }
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  return ERROR_SUCCESS;
}

void MeasureKey(const SimRegKey* key, DWORD* valueCount, DWORD* maxName, DWORD* maxData) {
  *valueCount = static_cast<DWORD>(key->values.size());
  *maxName = 0;
  *maxData = 0;
  for (const SimRegValue& value : key->values) {
    *maxName = std::max(*maxName, static_cast<DWORD>(value.name.size()));
    *maxData = std::max(*maxData, static_cast<DWORD>(value.data.size()));
  }
}

}  // namespace

void SimResetRegistry() { Registry() = SimRegistry(); }

SimRegKey* SimAddRegKey(const std::string& path) {
  auto key = std::make_unique<SimRegKey>();
  key->path = path;
  Registry().keys.push_back(std::move(key));
  return Registry().keys.back().get();
}

SimRegKey* SimFindRegKey(const std::string& path) {
  for (auto& key : Registry().keys)
    if (key->path == path) return key.get();
  return nullptr;
}

Bytes SimSzData(const std::string& text, bool terminated) {
  Bytes data;
  for (char16_t unit : expected::Wide(text)) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  if (terminated) data.insert(data.end(), {0, 0});
  return data;
}

void SimAddRegValue(SimRegKey* key, const std::string& name, DWORD type, const Bytes& data) {
  key->values.push_back({expected::Wide(name), type, data});
}

void SimAddRegString(SimRegKey* key, const std::string& name, const std::string& text) {
  SimAddRegValue(key, name, REG_SZ, SimSzData(text));
}

const std::vector<SimRegCall>& SimRegCalls() { return Registry().calls; }

int SimCountRegCalls(const std::string& kind) {
  return static_cast<int>(std::count_if(Registry().calls.begin(), Registry().calls.end(),
                                        [&](const SimRegCall& c) { return c.kind == kind; }));
}

int SimOpenKeyCount() { return static_cast<int>(Registry().openKeys.size()); }

// --- the registry operations ------------------------------------------

LONG RegistryOpenKey(HKEY root, const Utf16Unit* subKey, HKEY* key) {
  SimRegKey* found = root == HKEY_LOCAL_MACHINE ? SimFindRegKey(SimUtf8(subKey)) : nullptr;
  SimRegKey logged{};
  logged.path = SimUtf8(subKey);
  if (!found) return Log("open", &logged, 0, 0, 0, true, ERROR_FILE_NOT_FOUND);
  if (found->openResult != ERROR_SUCCESS) return Log("open", found, 0, 0, 0, true, found->openResult);
  uintptr_t handle = Registry().nextHandle++;
  Registry().openKeys[handle] = found;
  *key = reinterpret_cast<HKEY>(handle);
  return Log("open", found, 0, 0, 0, true, ERROR_SUCCESS);
}

LONG RegistryQueryInfoKey(HKEY handle, DWORD* valueCount, DWORD* maxValueNameLength,
                          DWORD* maxValueDataBytes) {
  SimRegKey* key = KeyOf(handle);
  if (!key) return Log("query-info", nullptr, 0, 0, 0, true, SimErrorInvalidHandle);
  if (key->queryInfoResult != ERROR_SUCCESS)
    return Log("query-info", key, 0, 0, 0, true, key->queryInfoResult);
  if (key->reportStaleInfo) {
    *valueCount = key->reportedValueCount;
    *maxValueNameLength = key->reportedMaxNameLength;
    *maxValueDataBytes = key->reportedMaxDataBytes;
  } else {
    MeasureKey(key, valueCount, maxValueNameLength, maxValueDataBytes);
  }
  return Log("query-info", key, 0, 0, 0, true, ERROR_SUCCESS);
}

LONG RegistryEnumValue(HKEY handle, DWORD index, Utf16Unit* name, DWORD* nameLength, DWORD* type,
                       BYTE* data, DWORD* dataBytes) {
  SimRegKey* key = KeyOf(handle);
  DWORD nameRoom = *nameLength, dataRoom = *dataBytes;
  bool clear = AllZero(name, nameRoom * sizeof(Utf16Unit)) && AllZero(data, dataRoom);
  if (!key) return Log("enum", nullptr, index, nameRoom, dataRoom, clear, SimErrorInvalidHandle);
  if (index >= key->values.size())
    return Log("enum", key, index, nameRoom, dataRoom, clear, ERROR_NO_MORE_ITEMS);
  const SimRegValue& value = key->values[index];
  // The name needs room for its terminator; the length returned leaves it out.
  if (value.name.size() + 1 > nameRoom)
    return Log("enum", key, index, nameRoom, dataRoom, clear, ERROR_MORE_DATA);
  std::copy(value.name.begin(), value.name.end(), name);
  name[value.name.size()] = 0;
  *nameLength = static_cast<DWORD>(value.name.size());
  *type = value.type;
  return Log("enum", key, index, nameRoom, dataRoom, clear, CopyData(value.data, data, dataBytes));
}

LONG RegistryQueryValue(HKEY handle, const Utf16Unit* valueName, DWORD* type, BYTE* data,
                        DWORD* dataBytes) {
  SimRegKey* key = KeyOf(handle);
  DWORD room = *dataBytes;
  bool clear = AllZero(data, room);
  if (!key) return Log("query", nullptr, 0, 0, room, clear, SimErrorInvalidHandle);
  const SimRegValue* value = FindValue(key, valueName);
  if (!value) return Log("query", key, 0, 0, room, clear, ERROR_FILE_NOT_FOUND);
  *type = value->type;
  return Log("query", key, 0, 0, room, clear, CopyData(value->data, data, dataBytes));
}

LONG RegistryCloseKey(HKEY handle) {
  SimRegKey* key = KeyOf(handle);
  if (!key) return Log("close", nullptr, 0, 0, 0, true, SimErrorInvalidHandle);
  Registry().openKeys.erase(reinterpret_cast<uintptr_t>(handle));
  return Log("close", key, 0, 0, 0, true, ERROR_SUCCESS);
}

// Port discovery: the system's serial ports go into the port combo, and the
// first port where a display answers goes into its field, the port named in
// the OPOS line display configuration first.
#include "discovery/port_discovery.h"

#include <cstdlib>
#include <cstring>

#include "discovery/display_probe.h"
#include "discovery/registry_ops.h"
#include "frontend/frontend_ops.h"

const Utf16Unit SerialCommKeyPath[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const Utf16Unit LineDisplayKeyPath[] =
    u"SOFTWARE\\OLEforRetail\\ServiceOPOS\\LineDisplay\\QVrm7700LineDisplay";
const Utf16Unit ConfiguredPortValueName[] = u"Port";

namespace {

void* AllocateZeroed(size_t count, size_t unitSize) { return std::calloc(count, unitSize); }

}  // namespace

DiscoveryAllocator DiscoveryAllocate = AllocateZeroed;

namespace {

// One byte short of the buffer: a value that uses the whole limit fills all
// 32 units and leaves no room for a terminator.
const DWORD ConfiguredPortByteLimit = 63;
const DWORD UnitBytes = static_cast<DWORD>(sizeof(Utf16Unit));
// Every buffer size must also fit a DWORD when counted in bytes.
const DWORD MaxBufferUnits = MAXDWORD / UnitBytes;

// The name and data buffers of one enumeration; sizes in units.
struct PortListBuffers {
  Utf16Unit* name;
  DWORD nameUnits;   // longest value name + 1
  Utf16Unit* data;
  DWORD dataUnits;   // D: longest value data / 2 + 1
};

// The listed port names in enumeration order, each with its terminator, the
// whole ended by an empty entry. Null when it could not be obtained.
struct CandidateList {
  Utf16Unit* units;
  DWORD capacity;    // D × number of values + 1
  DWORD used;
  DWORD entryUnits;  // D: no entry with its terminator is longer
};

// a × b + c, or false when it does not fit: a size that wraps round in 32
// bits would give a short buffer, so it counts as one that cannot be had.
bool UnitsFor(DWORD a, DWORD b, DWORD c, DWORD* units) {
  if (b != 0 && a > (MaxBufferUnits - c) / b) return false;
  *units = a * b + c;
  return true;
}

Utf16Unit* AllocateUnits(DWORD units) {
  return static_cast<Utf16Unit*>(DiscoveryAllocate(units, UnitBytes));
}

void ReleaseUnits(Utf16Unit** units) {
  std::free(*units);
  *units = nullptr;
}

// All three buffers, or none of them.
bool ObtainBuffers(DWORD valueCount, DWORD maxNameLength, DWORD maxDataBytes,
                   PortListBuffers* buffers, CandidateList* list) {
  DWORD listUnits = 0;
  if (!UnitsFor(maxNameLength, 1, 1, &buffers->nameUnits) ||
      !UnitsFor(maxDataBytes / 2, 1, 1, &buffers->dataUnits) ||
      !UnitsFor(buffers->dataUnits, valueCount, 1, &listUnits))
    return false;
  buffers->name = AllocateUnits(buffers->nameUnits);
  buffers->data = AllocateUnits(buffers->dataUnits);
  list->units = AllocateUnits(listUnits);
  if (buffers->name && buffers->data && list->units) {
    list->capacity = listUnits;
    list->entryUnits = buffers->dataUnits;
    return true;
  }
  ReleaseUnits(&buffers->name);
  ReleaseUnits(&buffers->data);
  ReleaseUnits(&list->units);
  return false;
}

// Registry text need not carry its terminator, and an odd byte count leaves
// half a unit behind: the text is the whole units read, up to the first zero.
void TerminateText(Utf16Unit* text, DWORD bufferUnits, DWORD dataBytes) {
  DWORD wholeUnits = dataBytes / UnitBytes;
  text[wholeUnits < bufferUnits ? wholeUnits : bufferUnits - 1] = 0;
}

DWORD TextLength(const Utf16Unit* text) {
  DWORD length = 0;
  while (text[length] != 0) ++length;
  return length;
}

void AppendCandidate(CandidateList* list, const Utf16Unit* name) {
  DWORD length = TextLength(name);
  // An empty entry would end the list and hide the ports after it. A value
  // added since the key was measured may find the list full; it stays in
  // the combo, but is not tried.
  if (length == 0 || list->capacity - list->used < length + 2) return;
  std::memcpy(list->units + list->used, name, (length + 1) * sizeof(Utf16Unit));
  list->used += length + 1;
}

void EnumeratePortList(HKEY key, PortListBuffers* buffers, PortNameCallback onName, void* context) {
  for (DWORD index = 0;; ++index) {
    std::memset(buffers->name, 0, buffers->nameUnits * sizeof(Utf16Unit));
    std::memset(buffers->data, 0, buffers->dataUnits * sizeof(Utf16Unit));
    DWORD nameLength = buffers->nameUnits;
    DWORD dataBytes = buffers->dataUnits * UnitBytes;
    DWORD type = REG_NONE;
    if (RegistryEnumValue(key, index, buffers->name, &nameLength, &type,
                          reinterpret_cast<BYTE*>(buffers->data), &dataBytes) != ERROR_SUCCESS)
      return;
    if (type != REG_SZ) continue;
    TerminateText(buffers->data, buffers->dataUnits, dataBytes);
    onName(context, buffers->data);
  }
}

// Reads the system's port list into the callback. False when the key cannot
// be opened or measured. The list is null when its buffer could not be had
// (then nothing is enumerated); otherwise it is sized for every value.
bool ListSystemPorts(CandidateList* list, PortNameCallback onName, void* context) {
  HKEY key = nullptr;
  if (RegistryOpenKey(HKEY_LOCAL_MACHINE, SerialCommKeyPath, &key) != ERROR_SUCCESS) return false;
  DWORD valueCount = 0, maxNameLength = 0, maxDataBytes = 0;
  if (RegistryQueryInfoKey(key, &valueCount, &maxNameLength, &maxDataBytes) != ERROR_SUCCESS) {
    RegistryCloseKey(key);
    return false;
  }
  PortListBuffers buffers = {};
  if (ObtainBuffers(valueCount, maxNameLength, maxDataBytes, &buffers, list))
    EnumeratePortList(key, &buffers, onName, context);
  ReleaseUnits(&buffers.name);
  ReleaseUnits(&buffers.data);
  RegistryCloseKey(key);
  if (list->units) list->units[list->used] = 0;
  return true;
}

// The dialog's list shows every name; the candidates keep them in order.
struct DialogPortSink {
  FrontEnd* frontEnd;
  CandidateList* list;
};

void AddToDialogAndCandidates(void* context, const Utf16Unit* name) {
  DialogPortSink* sink = static_cast<DialogPortSink*>(context);
  FrontEndAddPortName(sink->frontEnd, name);
  AppendCandidate(sink->list, name);
}

bool HasTerminator(const Utf16Unit* text, DWORD units) {
  for (DWORD i = 0; i < units; ++i)
    if (text[i] == 0) return true;
  return false;
}

// "Port" as a terminated name, or false with the buffer cleared. A value that
// fills the buffer without a terminator counts as no configured port; it
// would be longer than any port name the probe takes anyway.
bool ReadConfiguredPort(HKEY key, Utf16Unit* configuredPort) {
  DWORD type = REG_NONE;
  DWORD dataBytes = ConfiguredPortByteLimit;
  LONG result = RegistryQueryValue(key, ConfiguredPortValueName, &type,
                                   reinterpret_cast<BYTE*>(configuredPort), &dataBytes);
  if (result == ERROR_SUCCESS && type == REG_SZ &&
      HasTerminator(configuredPort, ConfiguredPortUnits)) {
    TerminateText(configuredPort, ConfiguredPortUnits, dataBytes);
    return true;
  }
  // A failed read may have left part of the value behind; another type must
  // not keep a listed port of the same text from being tried.
  std::memset(configuredPort, 0, ConfiguredPortUnits * sizeof(Utf16Unit));
  return false;
}

// True when the configured port answered and is now in the field.
bool TryConfiguredPort(FrontEnd* frontEnd, Utf16Unit* configuredPort) {
  std::memset(configuredPort, 0, ConfiguredPortUnits * sizeof(Utf16Unit));
  HKEY key = nullptr;
  if (RegistryOpenKey(HKEY_LOCAL_MACHINE, LineDisplayKeyPath, &key) != ERROR_SUCCESS) return false;
  bool answered = ReadConfiguredPort(key, configuredPort) && ProbeDisplay(configuredPort);
  if (answered) FrontEndSetPortText(frontEnd, configuredPort);
  RegistryCloseKey(key);
  return answered;
}

// Case-sensitive: a listed com3 is still tried after the configured COM3.
bool IsSameName(const Utf16Unit* a, const Utf16Unit* b, DWORD maxUnits) {
  for (DWORD i = 0; i < maxUnits; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

void ProbeCandidates(FrontEnd* frontEnd, const CandidateList* list, const Utf16Unit* configuredPort) {
  if (!list->units) return;
  for (const Utf16Unit* entry = list->units; *entry != 0; entry += TextLength(entry) + 1) {
    if (IsSameName(entry, configuredPort, list->entryUnits)) continue;
    if (ProbeDisplay(entry)) {
      FrontEndSetPortText(frontEnd, entry);
      return;
    }
  }
}

}  // namespace

void DiscoverPorts(FrontEnd* frontEnd) {
  CandidateList candidates = {};
  DialogPortSink sink = {frontEnd, &candidates};
  if (!ListSystemPorts(&candidates, AddToDialogAndCandidates, &sink)) return;
  Utf16Unit configuredPort[ConfiguredPortUnits];
  if (!TryConfiguredPort(frontEnd, configuredPort))
    ProbeCandidates(frontEnd, &candidates, configuredPort);
  ReleaseUnits(&candidates.units);
}

bool ReadSystemPortList(PortNameCallback onName, void* context) {
  CandidateList unused = {};
  bool listed = ListSystemPorts(&unused, onName, context);
  ReleaseUnits(&unused.units);
  return listed;
}

bool ReadConfiguredPortName(Utf16Unit* configuredPort) {
  std::memset(configuredPort, 0, ConfiguredPortUnits * sizeof(Utf16Unit));
  HKEY key = nullptr;
  if (RegistryOpenKey(HKEY_LOCAL_MACHINE, LineDisplayKeyPath, &key) != ERROR_SUCCESS) return false;
  bool read = ReadConfiguredPort(key, configuredPort);
  RegistryCloseKey(key);
  return read;
}

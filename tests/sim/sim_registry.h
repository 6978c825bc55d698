// A simulated registry, linked in place of registry_ops_win32.cpp: keys under
// HKEY_LOCAL_MACHINE holding values in enumeration order, with the sizes and
// error codes of advapi32, fault injection, and a log of every call.
// Key paths are matched exactly (the real registry ignores case), so a
// misspelt path in the program shows up as a missing key.
#ifndef VFD_SIM_REGISTRY_H
#define VFD_SIM_REGISTRY_H

#include <string>
#include <vector>

#include "sim_port.h"
#include "win_types.h"

struct SimRegValue {
  std::u16string name;
  DWORD type;
  Bytes data;  // stored as is: REG_SZ data need not be terminated or even
};

struct SimRegKey {
  std::string path;                  // e.g. HARDWARE\DEVICEMAP\SERIALCOMM
  std::vector<SimRegValue> values;   // in enumeration order
  LONG openResult = ERROR_SUCCESS;   // anything else: RegOpenKeyEx fails with it
  LONG queryInfoResult = ERROR_SUCCESS;
  // RegQueryInfoKey reports these instead of measuring the values: a key
  // that changed after it was measured, or sizes no buffer can hold.
  bool reportStaleInfo = false;
  DWORD reportedValueCount = 0, reportedMaxNameLength = 0, reportedMaxDataBytes = 0;
};

struct SimRegCall {
  std::string kind;       // open, query-info, enum, query, close
  std::string path;       // the key's path
  DWORD index;            // enum: the index asked for
  DWORD nameLength;       // enum: the name size handed in (characters)
  DWORD dataBytes;        // enum, query: the data size handed in (bytes)
  bool buffersClear;      // enum, query: the buffers were all zero on entry
  LONG result;
};

// Removes every key, closes every handle, clears the log.
void SimResetRegistry();
SimRegKey* SimAddRegKey(const std::string& path);
SimRegKey* SimFindRegKey(const std::string& path);
// The text's units, little-endian, then a terminator unless told otherwise.
Bytes SimSzData(const std::string& text, bool terminated = true);
void SimAddRegValue(SimRegKey* key, const std::string& name, DWORD type, const Bytes& data);
void SimAddRegString(SimRegKey* key, const std::string& name, const std::string& text);

const std::vector<SimRegCall>& SimRegCalls();
int SimCountRegCalls(const std::string& kind);
// Keys still open (should be 0 after discovery).
int SimOpenKeyCount();

#endif  // VFD_SIM_REGISTRY_H

// DiscoverPorts against any registry contents and any port behaviour: value
// names, types and data of any length (past every buffer, odd byte counts,
// no terminator), sizes reported stale or absurd, keys missing or failing,
// the "Port" value of any type and length, buffers refused; ports missing,
// busy, CTS down, failing at any call, answering anything at any time.
// Every probe is walked against the probe's steps; then the list, the
// field, the keys, the handles and the order of the probes are checked.
//
// Input, front to back:
//   flags: bits 0-1 port list key (0, 1 there, 2 missing, 3 refused), bit 2
//          its query fails, bit 3 stale sizes follow, bits 4-5 configuration
//          key (0 with "Port", 1 missing, 2 refused, 3 without "Port"),
//          bit 6 a buffer refusal byte follows
//   [stale sizes: value count, longest name, longest data selectors]
//   [refusal: which allocation (% 4) is refused]
//   value count (% 12), each: name (count byte % 48, bytes), type, data
//   ["Port": type, data]
//   one behaviour byte for each port of PortNames (bits 0-1: none, a
//   display, a module with faults, a raw read stream; bit 2 busy, bit 3 CTS
//   down, bit 4 a fault byte follows), with its module's faults (see
//   TakeModuleFaults)
//   the read results of the raw streams to the end (see ReadStream)
// Data: a selector below 0x80 picks a port name (bits 0-2, % 6) and a form
// (bits 3-4: terminated, not terminated, an odd byte more, text then more
// text); else raw bytes (count byte, or with 0xFF a 16-bit count % 2048).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/port_discovery.h"
#include "fuzz_support.h"
#include "protocol_expected.h"
#include "serial/serial_link.h"
#include "sim_dialog.h"
#include "sim_registry.h"

namespace {

const char* const PortNames[] = {"COM1", "COM2", "COM3", "COM4", "COMPORTNAME16CHR", "COMPORTNAME17CHRS"};
const size_t PortCount = sizeof PortNames / sizeof PortNames[0];
const DWORD OtherTypes[] = {REG_NONE, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, 11, 0xFFFFFFFFu};
const size_t AllocationLimit = 1u << 20;
const DWORD ConfiguredPortByteLimit = 63;

struct Scene {
  bool listOpens;           // the port list key opens and can be measured
  bool stale;
  std::vector<Bytes> listedData;  // the REG_SZ values' data, in order
  bool configHasPort;
  DWORD portType;
  Bytes portData;
  SimPort* ports[PortCount];
  DCB originalDcb;
  COMMTIMEOUTS originalTimeouts;
};

Scene CurrentScene;
int Allocations = 0;
int RefusedAllocation = 0;  // counted from 1; 0: none
bool AllocationRefused = false;

// Buffers as calloc gives them, but a huge one (from absurd reported sizes)
// or the chosen one is refused, as a failed allocation would be.
void* FuzzAllocate(size_t count, size_t unitSize) {
  ++Allocations;
  bool tooBig = unitSize != 0 && count > AllocationLimit / unitSize;
  if (tooBig || Allocations == RefusedAllocation) {
    AllocationRefused = true;
    return nullptr;
  }
  return std::calloc(count, unitSize);
}

// --- building the scene -------------------------------------------------

Bytes TakeData(ByteFeed* feed) {
  uint8_t selector = TakeByte(feed);
  if (selector >= 0x80) {
    size_t count = selector == 0xFF ? TakeU16(feed) % 2048 : TakeByte(feed);
    return TakeBytes(feed, count);
  }
  std::string name = PortNames[(selector & 7) % PortCount];
  switch ((selector >> 3) & 3) {
    case 0: return SimSzData(name);
    case 1: return SimSzData(name, false);
    case 2: {
      Bytes data = SimSzData(name);
      data.push_back('X');
      return data;
    }
    default: {
      Bytes data = SimSzData(name);
      Bytes more = SimSzData("XYZ");
      data.insert(data.end(), more.begin(), more.end());
      return data;
    }
  }
}

DWORD TakeType(ByteFeed* feed) {
  uint8_t selector = TakeByte(feed);
  return selector < 0xC0 ? static_cast<DWORD>(REG_SZ) : OtherTypes[selector % 7];
}

DWORD TakeSize(ByteFeed* feed, DWORD scale) {
  uint8_t selector = TakeByte(feed);
  if (selector == 0xFF) return 0xFFFFFFFFu;
  if (selector == 0xFE) return 0x7FFFFFFFu;
  if (selector >= 0xF0) return TakeU16(feed);
  return selector * scale;
}

void TakePortList(ByteFeed* feed, uint8_t flags) {
  SimRegKey* key = (flags & 3) == 2 ? nullptr : SimAddRegKey(expected::PortListKey);
  if (key && (flags & 3) == 3) key->openResult = ERROR_ACCESS_DENIED;
  if (key && (flags & 4)) key->queryInfoResult = ERROR_ACCESS_DENIED;
  CurrentScene.listOpens = key && (flags & 3) != 3 && !(flags & 4);
  CurrentScene.stale = (flags & 8) != 0;
  if (key && CurrentScene.stale) {
    key->reportStaleInfo = true;
    key->reportedValueCount = TakeByte(feed) % 16;
    key->reportedMaxNameLength = TakeSize(feed, 1);
    key->reportedMaxDataBytes = TakeSize(feed, 4);
  }
  if (flags & 0x40) RefusedAllocation = TakeByte(feed) % 4;
  int count = TakeByte(feed) % 12;
  for (int i = 0; i < count; ++i) {
    Bytes name = TakeBytes(feed, TakeByte(feed) % 48);
    DWORD type = TakeType(feed);
    Bytes data = TakeData(feed);
    if (key) SimAddRegValue(key, std::string(name.begin(), name.end()), type, data);
    if (type == REG_SZ) CurrentScene.listedData.push_back(data);
  }
}

void TakeConfiguration(ByteFeed* feed, uint8_t flags) {
  int mode = (flags >> 4) & 3;
  SimRegKey* key = mode == 1 ? nullptr : SimAddRegKey(expected::LineDisplayKey);
  if (key && mode == 2) key->openResult = ERROR_ACCESS_DENIED;
  if (mode != 0) return;
  CurrentScene.configHasPort = true;
  CurrentScene.portType = TakeType(feed);
  CurrentScene.portData = TakeData(feed);
  SimAddRegValue(key, "Port", CurrentScene.portType, CurrentScene.portData);
}

void TakeFault(ByteFeed* feed, SimPort* port) {
  uint8_t fault = TakeByte(feed);
  int at = fault / 7 % 4 + 1;
  int* counters[] = {&port->failGetCommState, &port->failGetCommTimeouts, &port->failSetCommState,
                     &port->failSetCommTimeouts, &port->failRead, &port->failWrite,
                     &port->failModemStatus};
  *counters[fault % 7] = at;
}

void TakePorts(ByteFeed* feed, ReadStream* stream) {
  for (size_t i = 0; i < PortCount; ++i) {
    uint8_t behaviour = TakeByte(feed);
    CurrentScene.ports[i] = nullptr;
    if ((behaviour & 3) == 0) continue;
    SimPort* port = SimAddPort(PortNames[i]);
    port->busy = (behaviour & 4) != 0;
    if (behaviour & 8) port->modemStatus = MS_DSR_ON;
    if (behaviour & 0x10) TakeFault(feed, port);
    if ((behaviour & 3) == 2) TakeModuleFaults(feed, SimAttachModule(port));
    else if ((behaviour & 3) == 1) SimAttachModule(port);
    else FeedPortReads(port, stream);
    CurrentScene.ports[i] = port;
    CurrentScene.originalDcb = port->dcb;
    CurrentScene.originalTimeouts = port->timeouts;
  }
}

void BuildScene(ByteFeed* feed, ReadStream* stream) {
  CurrentScene = Scene();
  Allocations = 0;
  RefusedAllocation = 0;
  AllocationRefused = false;
  DiscoveryAllocate = FuzzAllocate;
  uint8_t flags = TakeByte(feed);
  TakePortList(feed, flags);
  TakeConfiguration(feed, flags);
  TakePorts(feed, stream);
}

// --- the probe, step by step --------------------------------------------

struct ProbeSession {
  std::string path;
  bool answered;
};

void WalkRestoreAndClose(TranscriptWalk* walk) {
  TakeEvent(walk, "restore-state");
  TakeEvent(walk, "set-timeouts");
  TakeEvent(walk, "close");
}

// After the settings are saved and the probe timeouts applied.
bool WalkProbeExchange(TranscriptWalk* walk) {
  FUZZ_CHECK(TakeEvent(walk, "purge").value == 0x0F, "purge without all four flags");
  if (!TakeEvent(walk, "set-state").ok) return false;
  WalkSleep(walk, 10);
  const SimEvent& modem = TakeEvent(walk, "modem");
  if (!modem.ok || !(modem.value & MS_CTS_ON)) return false;
  walk->writeTimeoutConstantMs = 4000;
  if (!WalkWrite(walk, expected::EnterCommand)) return false;
  Bytes reply;
  if (!WalkReply(walk, 4, &reply)) return false;
  WalkWrite(walk, expected::ExitCommand);  // sent whatever came back; its result does not count
  WalkSleep(walk, 50);
  return reply == expected::EnterAccepted;
}

ProbeSession WalkProbe(TranscriptWalk* walk) {
  ProbeSession session = {PeekEvent(walk).port, false};
  if (PeekEvent(walk).kind == "open-failed") {
    TakeEvent(walk, "open-failed");
    return session;
  }
  TakeEvent(walk, "open");
  bool saved = TakeEvent(walk, "get-state").ok && TakeEvent(walk, "get-timeouts").ok;
  if (!saved || !TakeEvent(walk, "set-timeouts").ok) {
    TakeEvent(walk, "close");  // nothing changed yet
    return session;
  }
  session.answered = WalkProbeExchange(walk);
  WalkRestoreAndClose(walk);
  return session;
}

// --- what discovery must have done ---------------------------------------

std::u16string TextOf(const Bytes& data, bool withHalfUnit) {
  std::u16string text;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) return text;
    text += unit;
  }
  if (withHalfUnit && data.size() % 2 == 1 && data.back() != 0) text += data.back();
  return text;
}

std::string PathOf(const std::u16string& name) { return "\\\\.\\" + SimUtf8(name.c_str()); }

void CheckComboList() {
  const std::vector<std::u16string>& items = SimGetDialog()->comboItems;
  if (!CurrentScene.listOpens) {
    FUZZ_CHECK(items.empty(), "ports listed without a port list");
    return;
  }
  FUZZ_CHECK(items.size() <= CurrentScene.listedData.size(), "more ports listed than there are");
  for (size_t i = 0; i < items.size(); ++i) {
    const Bytes& data = CurrentScene.listedData[i];
    // With stale sizes a value may fill the data buffer to its last unit;
    // then the name may lose its last units to the terminator.
    std::u16string whole = TextOf(data, true);
    bool fits = items[i] == TextOf(data, false) || items[i] == whole ||
                (CurrentScene.stale && whole.compare(0, items[i].size(), items[i]) == 0);
    FUZZ_CHECK(fits, "listed port " + std::to_string(i) + " is not its value's text");
  }
  if (!CurrentScene.stale && !AllocationRefused)
    FUZZ_CHECK(items.size() == CurrentScene.listedData.size(), "a port of the list is missing");
}

// Every name a probe may have been given: the listed ones, the configured
// one, read either way, and their first 16 characters.
bool IsCandidatePath(const std::string& path) {
  std::vector<std::u16string> names = SimGetDialog()->comboItems;
  if (CurrentScene.configHasPort && CurrentScene.portData.size() <= ConfiguredPortByteLimit) {
    names.push_back(TextOf(CurrentScene.portData, false));
    names.push_back(TextOf(CurrentScene.portData, true));
  }
  for (const std::u16string& name : names)
    if (path == PathOf(name) || path == PathOf(name.substr(0, expected::PortNameMax))) return true;
  return false;
}

// The configured port when reading it leaves no choice open: a REG_SZ
// value that fits the 63-byte limit with whole units and at most 16
// characters. Sets *clear to false when the choice is open.
bool ConfiguredName(std::u16string* name, bool* clear) {
  *clear = true;
  if (!CurrentScene.configHasPort || CurrentScene.portType != REG_SZ ||
      CurrentScene.portData.size() > ConfiguredPortByteLimit)
    return false;
  *name = TextOf(CurrentScene.portData, false);
  *clear = CurrentScene.portData.size() % 2 == 0 && name->size() <= expected::PortNameMax;
  return true;
}

// The probes in order: the configured port, then every listed port that
// differs from it, until one answers. Only where the reading of the
// registry leaves no choice to the implementation.
void CheckProbeOrder(const std::vector<ProbeSession>& sessions) {
  std::u16string configured;
  bool clear = true;
  bool hasConfigured = ConfiguredName(&configured, &clear);
  if (!CurrentScene.listOpens || !clear || CurrentScene.stale || AllocationRefused) return;
  for (const Bytes& data : CurrentScene.listedData)
    if (data.size() % 2) return;
  std::vector<std::u16string> expected;
  if (hasConfigured) expected.push_back(configured);
  for (const std::u16string& item : SimGetDialog()->comboItems) {
    if (item.size() > expected::PortNameMax) return;
    if (item.empty() || (hasConfigured && item == configured)) continue;
    expected.push_back(item);
  }
  size_t n = sessions.size();
  bool answered = n > 0 && sessions.back().answered;
  FUZZ_CHECK(answered ? n <= expected.size() : n == expected.size(),
             std::to_string(n) + " probes where " + std::to_string(expected.size()) + " were due");
  for (size_t i = 0; i < n; ++i)
    FUZZ_CHECK(sessions[i].path == PathOf(expected[i]),
               "probe " + std::to_string(i) + " went to " + sessions[i].path + " instead of " +
                   PathOf(expected[i]));
}

void CheckProbes(const std::vector<ProbeSession>& sessions) {
  SimDialog* dialog = SimGetDialog();
  if (!CurrentScene.listOpens) FUZZ_CHECK(sessions.empty(), "a port probed without a port list");
  for (size_t i = 0; i < sessions.size(); ++i) {
    FUZZ_CHECK(IsCandidatePath(sessions[i].path), "probed " + sessions[i].path + ", no candidate");
    FUZZ_CHECK(!sessions[i].answered || i + 1 == sessions.size(), "probing went on after an answer");
  }
  bool answered = !sessions.empty() && sessions.back().answered;
  FUZZ_CHECK(dialog->portTextSets == (answered ? 1 : 0),
             std::to_string(dialog->portTextSets) + " WM_SETTEXT to the port field");
  if (answered)
    FUZZ_CHECK(PathOf(dialog->portText) == sessions.back().path, "the field is not the port that answered");
  CheckProbeOrder(sessions);
}

// Whatever failed, a port's settings and timeouts are back after a probe
// changed them, and nothing was left open.
void CheckPortsLeftAsFound() {
  FUZZ_CHECK(SimOpenKeyCount() == 0, "a registry key was left open");
  FUZZ_CHECK(SimOpenHandleCount() == 0, "a port was left open");
  for (SimPort* port : CurrentScene.ports) {
    if (!port) continue;
    FUZZ_CHECK(IsPutBackAfterChange(port->dcbSets, port->failSetCommState, CurrentScene.originalDcb, SimSameDcb),
               port->path + ": line settings not put back");
    FUZZ_CHECK(IsPutBackAfterChange(port->timeoutSets, port->failSetCommTimeouts,
                                    CurrentScene.originalTimeouts, SimSameTimeouts),
               port->path + ": timeouts not put back");
  }
}

void PrintRun(const std::vector<ProbeSession>& sessions) {
  for (const ProbeSession& session : sessions)
    std::fprintf(stderr, "probe %s: %s\n", session.path.c_str(), session.answered ? "answered" : "no");
  std::fprintf(stderr, "listed %zu, field \"%s\" (%d WM_SETTEXT)\n", SimGetDialog()->comboItems.size(),
               SimUtf8(SimGetDialog()->portText.c_str()).c_str(), SimGetDialog()->portTextSets);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SimReset();
  SimResetRegistry();
  SimResetDialog();
  ByteFeed feed = MakeFeed(data, size);
  ReadStream stream = {&feed, {}};
  BuildScene(&feed, &stream);

  DiscoverPorts(SimFrontEnd());

  std::vector<ProbeSession> sessions;
  TranscriptWalk walk = BeginWalk(0, 0);
  while (!IsWalkAtEnd(&walk)) sessions.push_back(WalkProbe(&walk));
  FUZZ_CHECK(SimNow() == walk.clockMs, "time passed outside the probes' waits");
  if (IsVerbose()) PrintRun(sessions);
  CheckPortsLeftAsFound();
  CheckComboList();
  CheckProbes(sessions);
  SimReset();
  SimResetRegistry();
  return 0;
}

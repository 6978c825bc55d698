// Simulated kernel32 serial calls over SimPort records and a virtual clock.
#include "sim_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "control.h"
#include "serial/port_ops.h"

namespace {

struct SimWorld {
  uint64_t nowMs = 0;
  std::vector<SimEvent> events;
  std::map<std::string, std::unique_ptr<SimPort>> ports;  // by path
  std::map<std::string, std::unique_ptr<SimModule>> modules;
  std::map<uintptr_t, SimPort*> handles;
  uintptr_t nextHandle = 0x100;
  DWORD lastError = 0;
  PortOpenDetail openDetail = {};
};

SimWorld& World() {
  static SimWorld world;
  return world;
}

// Probes of several ports may run on threads of their own: every port
// operation takes the world on its own.
std::recursive_mutex& WorldLock() {
  static std::recursive_mutex lock;
  return lock;
}

void Log(const std::string& kind, const SimPort* port, const Bytes& bytes, DWORD value, bool ok) {
  World().events.push_back({World().nowMs, kind, port ? port->path : std::string(), bytes, value, ok});
}

SimPort* PortOf(HANDLE handle) {
  auto it = World().handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == World().handles.end() ? nullptr : it->second;
}

bool Fails(int* calls, int failAt) {
  ++*calls;
  return failAt != 0 && *calls == failAt;
}

DCB PatternDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fErrorChar = 1;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1a;
  dcb.EvtChar = '\n';
  return dcb;
}

// --- the display module ----------------------------------------------

SimModule* ModuleOf(const SimPort* port) {
  auto it = World().modules.find(port->path);
  return it == World().modules.end() ? nullptr : it->second.get();
}

// A module in mode cts-down holds CTS down, as the emulator does through the
// modem-lines fixture.
bool IsLineCtsUp(const SimPort* port) {
  const SimModule* module = ModuleOf(port);
  bool held = module && module->device.faults.mode == FaultMode::CtsDown;
  return (port->modemStatus & MS_CTS_ON) && !held;
}

void FeedModule(SimPort* port, SimModule* module, const Bytes& written) {
  for (const DeviceAction& action : FeedDevice(module->device, written.data(), written.size())) {
    if (action.kind == ActionKind::Send) SimQueueBytes(port, action.delayMs, action.bytes);
    if (action.kind == ActionKind::Command && action.accepted) module->commands.push_back(action.name);
    if (action.kind == ActionKind::RecordStored) module->recordsStored++;
    if (action.kind == ActionKind::Hangup) port->hungUp = true;
  }
}

}  // namespace

void SimReset() {
  World().nowMs = 0;
  World().events.clear();
  World().handles.clear();
  World().modules.clear();
  World().ports.clear();
  World().nextHandle = 0x100;
  World().openDetail = {};
}

void SimSetOpenDetail(const PortOpenDetail& detail) { World().openDetail = detail; }

uint64_t SimNow() { return World().nowMs; }
void SimAdvance(uint64_t ms) { World().nowMs += ms; }
const std::vector<SimEvent>& SimEvents() { return World().events; }

int SimCountEvents(const std::string& kind, const std::string& port) {
  int n = 0;
  for (const SimEvent& e : World().events)
    if (e.kind == kind && (port.empty() || e.port == port)) n++;
  return n;
}

uint64_t SimSleptMs() {
  uint64_t total = 0;
  for (const SimEvent& e : World().events)
    if (e.kind == "sleep") total += e.value;
  return total;
}

bool SimSameDcb(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SimSameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

SimPort* SimAddPort(const std::string& name) {
  auto port = std::make_unique<SimPort>();
  port->path = "\\\\.\\" + name;
  port->dcb = PatternDcb();
  port->timeouts = {7, 7, 7, 7, 7};
  SimPort* raw = port.get();
  World().ports[raw->path] = std::move(port);
  return raw;
}

SimPort* SimFindPort(const std::string& name) {
  auto it = World().ports.find("\\\\.\\" + name);
  return it == World().ports.end() ? nullptr : it->second.get();
}

int SimOpenHandleCount() { return static_cast<int>(World().handles.size()); }

void SimQueueBytes(SimPort* port, uint64_t delayMs, const Bytes& bytes) {
  port->pending.push_back({World().nowMs + delayMs, bytes});
  std::stable_sort(port->pending.begin(), port->pending.end(),
                   [](const SimArrival& a, const SimArrival& b) { return a.atMs < b.atMs; });
}

SimModule* SimAttachModule(SimPort* port) {
  auto module = std::make_unique<SimModule>();
  SimModule* raw = module.get();
  raw->device = NewDevice(Record{});
  raw->device.faults.replyDelayMs = 20;
  World().modules[port->path] = std::move(module);
  port->responder = [raw](SimPort* p, const Bytes& written) { FeedModule(p, raw, written); };
  return raw;
}

void SimControl(SimModule* module, const std::string& command) {
  ControlEffects effects;
  std::string error;
  if (!ApplyControlCommand(module->device, command, effects, error)) {
    std::fprintf(stderr, "SimControl(\"%s\"): %s\n", command.c_str(), error.c_str());
    std::abort();
  }
  if (effects.powerCycle) PowerCycleDevice(module->device);
}

int SimCommandCount(const SimModule* module, const std::string& name) {
  return static_cast<int>(std::count(module->commands.begin(), module->commands.end(), name));
}

Bytes SimStoredRecord(const SimModule* module) {
  return Bytes(module->device.record.begin(), module->device.record.end());
}

std::string SimUtf8(const Utf16Unit* text) {
  std::string out;
  for (; text && *text; ++text) {
    char16_t c = *text;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}


// --- the port operations ----------------------------------------------

HANDLE PortCreateFile(const Utf16Unit* portName) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  // The path the Windows realisation hands to CreateFileW.
  std::string path = "\\\\.\\" + SimUtf8(portName);
  auto it = World().ports.find(path);
  SimPort* port = it == World().ports.end() ? nullptr : it->second.get();
  if (!port || !port->exists || port->busy || port->open) {
    SimEvent e{World().nowMs, "open-failed", path, {}, 0, false};
    World().events.push_back(e);
    // As Windows: a port another program holds is "access denied".
    World().lastError = !port || !port->exists ? ERROR_FILE_NOT_FOUND : port->busy ? port->busyError : ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  port->open = true;
  port->hungUp = false;  // a new line is behind the name after a hang-up
  port->openCount++;
  uintptr_t handle = World().nextHandle++;
  World().handles[handle] = port;
  Log("open", port, {}, 0, true);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL PortGetCommState(HANDLE handle, DCB* dcb) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (!port || Fails(&port->getStateCalls, port->failGetCommState)) {
    Log("get-state", port, {}, 0, false);
    World().lastError = ERROR_INVALID_FUNCTION;
    return FALSE;
  }
  *dcb = port->dcb;
  Log("get-state", port, {}, 0, true);
  return TRUE;
}

namespace {

// SetCommState, logged under kind: a restore is one too, seen as what it is.
BOOL SetState(HANDLE handle, const DCB* dcb, const char* kind) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (port) port->dcbSets.push_back(*dcb);
  if (!port || Fails(&port->setStateCalls, port->failSetCommState)) {
    Log(kind, port, {}, 0, false);
    return FALSE;
  }
  port->dcb = *dcb;
  Log(kind, port, {}, dcb->BaudRate, true);
  return TRUE;
}

}  // namespace

BOOL PortSetCommState(HANDLE handle, const DCB* dcb) { return SetState(handle, dcb, "set-state"); }

// As on Windows, a SetCommState with the saved DCB.
BOOL PortRestoreCommState(HANDLE handle, const DCB* saved) { return SetState(handle, saved, "restore-state"); }

BOOL PortGetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (!port || Fails(&port->getTimeoutsCalls, port->failGetCommTimeouts)) {
    Log("get-timeouts", port, {}, 0, false);
    return FALSE;
  }
  *timeouts = port->timeouts;
  Log("get-timeouts", port, {}, 0, true);
  return TRUE;
}

BOOL PortSetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (port) port->timeoutSets.push_back(*timeouts);
  if (!port || Fails(&port->setTimeoutsCalls, port->failSetCommTimeouts)) {
    Log("set-timeouts", port, {}, 0, false);
    return FALSE;
  }
  port->timeouts = *timeouts;
  Log("set-timeouts", port, {}, timeouts->WriteTotalTimeoutConstant, true);
  return TRUE;
}

BOOL PortPurgeComm(HANDLE handle, DWORD flags) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (!port) return FALSE;
  if (flags & PURGE_RXCLEAR) {
    port->pending.erase(std::remove_if(port->pending.begin(), port->pending.end(),
                                       [](const SimArrival& a) { return a.atMs <= World().nowMs; }),
                        port->pending.end());
  }
  Log("purge", port, {}, flags, true);
  return TRUE;
}

BOOL PortGetCommModemStatus(HANDLE handle, DWORD* status) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (!port || Fails(&port->modemCalls, port->failModemStatus)) {
    Log("modem", port, {}, 0, false);
    return FALSE;
  }
  *status = IsLineCtsUp(port) ? port->modemStatus : port->modemStatus & ~MS_CTS_ON;
  Log("modem", port, {}, *status, true);
  return TRUE;
}

BOOL PortReadFile(HANDLE handle, BYTE* buffer, DWORD size, DWORD* count) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  *count = 0;
  if (!port || Fails(&port->readCalls, port->failRead)) {
    Log("read", port, {}, size, false);
    return FALSE;
  }
  Bytes delivered;
  if (port->hungUp) {
    Log("read", port, {}, size, true);
    return TRUE;
  }
  if (port->reader) {
    if (!port->reader(port, size, &delivered)) {
      Log("read", port, {}, size, false);
      return FALSE;
    }
    if (delivered.size() > size) delivered.resize(size);
  }
  // The read timeouts make every read return at once with what has arrived.
  while (!port->reader && !port->pending.empty() && port->pending.front().atMs <= World().nowMs &&
         delivered.size() < size) {
    Bytes& piece = port->pending.front().bytes;
    size_t take = std::min<size_t>(piece.size(), size - delivered.size());
    delivered.insert(delivered.end(), piece.begin(), piece.begin() + take);
    piece.erase(piece.begin(), piece.begin() + take);
    if (piece.empty()) port->pending.erase(port->pending.begin());
  }
  if (!delivered.empty()) std::memcpy(buffer, delivered.data(), delivered.size());
  *count = static_cast<DWORD>(delivered.size());
  Log("read", port, delivered, size, true);
  World().events.back().buffer = buffer;
  return TRUE;
}

BOOL PortWriteFile(HANDLE handle, const BYTE* bytes, DWORD size, DWORD* count) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  *count = 0;
  if (!port || Fails(&port->writeCalls, port->failWrite) || port->hungUp) {
    Log("write", port, {}, size, false);
    return FALSE;
  }
  if (port->dcb.fOutxCtsFlow && !IsLineCtsUp(port)) {
    // Output waits for CTS until the write total timeout runs out.
    World().nowMs += static_cast<uint64_t>(port->timeouts.WriteTotalTimeoutMultiplier) * size +
                     port->timeouts.WriteTotalTimeoutConstant;
    Log("write", port, {}, size, true);
    return TRUE;
  }
  DWORD accepted = size;
  if (port->shortWriteAt != 0 && port->writeCalls == port->shortWriteAt && size > 0) accepted = size - 1;
  Bytes chunk(bytes, bytes + accepted);
  port->written.insert(port->written.end(), chunk.begin(), chunk.end());
  port->writes.push_back(chunk);
  *count = accepted;
  Log("write", port, chunk, size, true);
  if (port->responder) port->responder(port, chunk);
  return TRUE;
}

// No other program opens a port unless the test says one did, after the
// look before the open: the look after it finds that one, as POSIX's does.
BOOL PortConfirmExclusive(HANDLE handle) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (port != nullptr && port->openedMeanwhile) World().lastError = ERROR_SHARING_VIOLATION;
  return port != nullptr && !port->openedMeanwhile ? TRUE : FALSE;
}

void PortSetStopCheck(bool (*)()) {}

BOOL PortCloseHandle(HANDLE handle) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  SimPort* port = PortOf(handle);
  if (!port) return FALSE;
  if (port->onClose) port->onClose(port);
  port->open = false;
  // As the emulator: a half-received command does not outlive the open.
  if (SimModule* module = ModuleOf(port)) DiscardPartialCommand(module->device);
  World().handles.erase(reinterpret_cast<uintptr_t>(handle));
  Log("close", port, {}, 0, true);
  return TRUE;
}

void PortSleep(DWORD milliseconds) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock());
  World().nowMs += milliseconds;
  Log("sleep", nullptr, {}, milliseconds, true);
}

DWORD PortGetLastError() {
  std::lock_guard<std::recursive_mutex> hold(WorldLock()); return World().lastError; }

void PortGetOpenDetail(PortOpenDetail* detail) {
  std::lock_guard<std::recursive_mutex> hold(WorldLock()); *detail = World().openDetail; }

extern const DWORD PortNameMax = 16;

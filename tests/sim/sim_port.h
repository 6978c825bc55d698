// A simulated serial port layer with a virtual clock, linked in place of
// port_ops_win32.cpp. Time only moves when the code under test calls
// PortSleep or a write waits for CTS, so every wait is exact and instant.
#ifndef VFD_SIM_PORT_H
#define VFD_SIM_PORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device.h"
#include "serial/port_ops.h"
#include "win_types.h"

typedef std::vector<BYTE> Bytes;

// One call that reached the simulated platform, in order.
struct SimEvent {
  uint64_t timeMs;
  std::string kind;  // open, open-failed, get-state, set-state, restore-state,
                     // get-timeouts, set-timeouts, purge, modem, read, write,
                     // close, sleep
  std::string port;  // the device path as UTF-8, e.g. \\.\COM3
  Bytes bytes;       // read: bytes delivered; write: bytes accepted
  DWORD value;       // sleep: ms; read/write: requested size; purge: flags
  bool ok;           // the call's result
  const BYTE* buffer = nullptr;  // read: where the bytes went
};

struct SimPort;
// Called after every accepted write with the bytes just written; it may
// queue bytes to arrive later with SimQueueBytes.
typedef std::function<void(SimPort* port, const Bytes& written)> SimResponder;
// Stands in for the arrival queue when set: called for every read that is not
// failed by failRead, with the size asked for. It puts the bytes the read
// returns into *delivered (anything beyond size is dropped) and returns false
// to make the read fail. Lets a test feed any stream of read results.
typedef std::function<bool(SimPort* port, DWORD size, Bytes* delivered)> SimReader;

struct SimArrival {
  uint64_t atMs;
  Bytes bytes;
};

struct SimPort {
  std::string path;            // \\.\COM3
  bool exists = true;          // false: CreateFile fails
  bool busy = false;           // held by another program: CreateFile fails
  DWORD busyError = ERROR_ACCESS_DENIED;  // as Windows says it; the POSIX claim says ERROR_BUSY
  bool openedMeanwhile = false;  // another program opened it after the open's look: the second look says busy
  DWORD modemStatus = MS_CTS_ON | MS_DSR_ON;  // what GetCommModemStatus reports
  bool hungUp = false;         // the module hung up: writes fail, reads find nothing
  DCB dcb;                     // what GetCommState returns / SetCommState sets
  COMMTIMEOUTS timeouts;       // what GetCommTimeouts returns
  // Fault injection: the n-th call (counted from 1) of that kind fails;
  // 0 means never. shortWriteAt accepts one byte fewer than asked.
  int failGetCommState = 0, failSetCommState = 0, failGetCommTimeouts = 0,
      failSetCommTimeouts = 0, failRead = 0, failWrite = 0, shortWriteAt = 0,
      failModemStatus = 0;
  int getStateCalls = 0, setStateCalls = 0, getTimeoutsCalls = 0, setTimeoutsCalls = 0,
      readCalls = 0, writeCalls = 0, modemCalls = 0;
  std::vector<SimArrival> pending;  // bytes on their way to the program
  Bytes written;                    // every byte accepted from the program
  std::vector<Bytes> writes;        // each accepted write on its own
  SimResponder responder;
  SimReader reader;
  std::vector<DCB> dcbSets;               // every SetCommState attempt (restores too), failed ones too
  std::vector<COMMTIMEOUTS> timeoutSets;  // every SetCommTimeouts attempt, failed ones too
  std::function<void(SimPort*)> onClose;  // called as CloseHandle begins, the port still open
  int openCount = 0;                // how many times it was opened
  bool open = false;
};

// Resets the clock, removes every port and clears the event log.
void SimReset();
uint64_t SimNow();
void SimAdvance(uint64_t ms);
const std::vector<SimEvent>& SimEvents();
// Count of events of one kind (optionally on one port path).
int SimCountEvents(const std::string& kind, const std::string& port = "");
// The virtual time spent in PortSleep.
uint64_t SimSleptMs();
bool SimSameDcb(const DCB& a, const DCB& b);
bool SimSameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b);

// Who holds a busy port, as the next failed open reports it.
void SimSetOpenDetail(const PortOpenDetail& detail);

// Adds a port named like "COM3"; as the Windows realisation, the port
// operations open it as \\.\COM3, its path. The DCB starts as a
// recognisable pattern (9600 7E2, CTS flow on) and the timeouts as all 7s.
SimPort* SimAddPort(const std::string& name);
SimPort* SimFindPort(const std::string& name);
// Handles still open (should be 0 after every operation).
int SimOpenHandleCount();

// Bytes that arrive delayMs after the current virtual time.
void SimQueueBytes(SimPort* port, uint64_t delayMs, const Bytes& bytes);

// A display module on the port: the emulator's own device logic
// (tools/vfd_emulator/device.h) takes every byte written; what it sends
// arrives after the delay it asks for. Out of the box it holds an all-zero
// record (so a stored one shows) and answers 20 ms after each command: a
// reply is still on its way at the first poll and there at the second.
struct SimModule {
  DeviceState device;                 // device.faults: how it answers; device.record: what it holds
  std::vector<std::string> commands;  // the commands it accepted, in order
  int recordsStored = 0;
};

// Attaches a module to the port; the module lives as long as the port.
SimModule* SimAttachModule(SimPort* port);
// Applies one of the emulator's control commands (tools/README.md), such as
// "mode silent" or "product-type \"CU20029T307A02 \""; a refused one ends the run.
void SimControl(SimModule* module, const std::string& command);
int SimCommandCount(const SimModule* module, const std::string& name);
Bytes SimStoredRecord(const SimModule* module);

std::string SimUtf8(const Utf16Unit* text);

#endif  // VFD_SIM_PORT_H

// Who else holds a device: one look at every process's descriptors
// (process_look_posix.cpp), shared by the claims in progress. The claims'
// other half, the lock files, is port_claim_posix.cpp.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "serial/port_claim_posix.h"
#include "serial/process_look_posix.h"

namespace {

// How long a look after an open waits for the claims begun with it to open.
const std::chrono::milliseconds OpeningWaitMax(50);

struct HolderScan {
  std::mutex lock;
  std::condition_variable looked;
  int claims = 0;
  int opened = 0;                   // of the claims, those whose open returned
  bool taken = false;
  bool looking = false;             // a look after an open is on its way
  uint64_t covers = 0;              // the opens done when the last look began
  ProcessLook look;                 // the claims' last look
};

HolderScan& Scan() {
  static HolderScan scan;
  return scan;
}

// Opens of claimed ports so far, counted as each open returns.
std::atomic<uint64_t> Opens(0);

// Asked during every look; set once by the program.
std::atomic<bool (*)()> LookStopCheck(nullptr);

ProcessLook LookNow() { return LookAtProcesses(LookStopCheck.load()); }

// What a look says of the device: its first holder whose descriptor may
// read or write it.
HolderFound AnswerOf(const ProcessLook& look, dev_t device, PortHolder* holder) {
  holder->unseenProcesses = look.unseen;
  if (look.stopped) return HOLDER_LOOK_STOPPED;
  auto found = look.devices.find(device);
  if (found == look.devices.end()) return HOLDER_NONE;
  for (const DescriptorPlace& place : found->second) {
    if (!IsClaimingDescriptor(place)) continue;
    holder->processId = place.processId;
    return HOLDER_FOUND;
  }
  return HOLDER_NONE;
}

// The device's holder from the claims' shared look (the first claim's, or a
// newer one), or from a look of its own outside any claim. A look a stop
// request ended is nobody's to share.
HolderFound HolderBeforeOpen(dev_t device, PortHolder* holder) {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  if (scan.claims == 0) return AnswerOf(LookNow(), device, holder);
  if (!scan.taken) {
    scan.covers = Opens.load();
    scan.look = LookNow();
    scan.taken = !scan.look.stopped;
  }
  return AnswerOf(scan.look, device, holder);
}

// After an open: a look that began after it returned, shared by the claims
// whose opens returned before it began. It waits a moment for the claims
// still on their way to their open (a search's, begun together), and is
// taken outside the lock, so that the looks before those opens go on with
// the last look meanwhile.
HolderFound HolderAfterOpen(dev_t device, uint64_t opened, PortHolder* holder) {
  HolderScan& scan = Scan();
  std::unique_lock<std::mutex> hold(scan.lock);
  scan.looked.wait_for(hold, OpeningWaitMax, [&scan] { return scan.opened >= scan.claims; });
  while (scan.covers < opened) {
    if (scan.looking) {
      scan.looked.wait(hold);
      continue;
    }
    scan.looking = true;
    uint64_t covers = Opens.load();
    hold.unlock();
    ProcessLook look = LookNow();
    hold.lock();
    scan.looking = false;
    scan.looked.notify_all();
    if (look.stopped) return AnswerOf(look, device, holder);
    scan.look = std::move(look);
    scan.covers = covers;
    scan.taken = true;
  }
  return AnswerOf(scan.look, device, holder);
}

}  // namespace

void BeginClaim() {
  std::lock_guard<std::mutex> hold(Scan().lock);
  ++Scan().claims;
}

void EndClaim(bool opened) {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  if (opened && scan.opened > 0) --scan.opened;
  if (scan.claims > 0 && --scan.claims == 0) {
    scan.taken = false;
    scan.look = ProcessLook();
  }
  scan.looked.notify_all();
}

uint64_t CountOpen() {
  HolderScan& scan = Scan();
  std::lock_guard<std::mutex> hold(scan.lock);
  ++scan.opened;
  scan.looked.notify_all();
  return ++Opens;
}

void SetLookStopCheck(bool (*stopRequested)()) { LookStopCheck.store(stopRequested); }

HolderFound FindOtherHolder(dev_t device, PortHolder* holder, uint64_t opened) {
  HolderFound found = opened == 0 ? HolderBeforeOpen(device, holder) : HolderAfterOpen(device, opened, holder);
  if (found == HOLDER_FOUND) holder->program = ProgramOf(holder->processId);
  return found;
}

std::string ProgramOf(pid_t processId) {
  std::string path = processId == 0 ? "/proc/self/comm" : "/proc/" + std::to_string(processId) + "/comm";
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return "";
  char name[64] = {};
  bool read = std::fgets(name, sizeof name, file) != nullptr;
  std::fclose(file);
  std::string program = read ? name : "";
  if (!program.empty() && program.back() == '\n') program.pop_back();
  return program;
}

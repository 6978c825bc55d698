#include "job/port_search.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <system_error>

#include "serial/serial_link.h"
#include "text/utf_convert.h"

namespace {

const std::chrono::milliseconds TickInterval(200);

// VFDSTARTUP_PORTS: names separated by blanks, for unusual setups and tests.
bool PortsFromEnvironment(std::vector<std::u16string>* ports) {
  const char* value = std::getenv("VFDSTARTUP_PORTS");
  if (value == nullptr) return false;
  std::istringstream words(value);
  std::string word;
  while (words >> word) ports->push_back(Utf16FromBytes(word));
  return true;
}

// A device's candidate keeps its place; a name too long to open it by gives
// way to a later one that fits.
void AddOnce(const PortIdentity& port, std::map<std::string, size_t>* devices, std::vector<PortIdentity>* ports) {
  auto known = devices->emplace(port.device, ports->size());
  if (known.second) return ports->push_back(port);
  PortIdentity& first = (*ports)[known.first->second];
  if (!PortNameFits(first.name.c_str()) && PortNameFits(port.name.c_str())) first = port;
}

// The next candidate nobody probes yet, or false when there is none.
bool TakeNext(PortSearch* search, size_t* index) {
  std::lock_guard<std::mutex> hold(search->lock);
  if (search->next >= search->candidates.size()) return false;
  *index = search->next++;
  return true;
}

// The search a probe on this thread belongs to.
thread_local PortSearch* ProbingFor = nullptr;

// The probes' stop check: a stop request, or the choice made.
bool IsSearchOver() {
  PortSearch* search = ProbingFor;
  return search != nullptr && (search->ended || (search->stopRequested != nullptr && search->stopRequested()));
}

// A probe that never reached its open leaves the detail of this thread's
// previous open.
bool ReachedItsOpen(ProbeVerdict verdict) { return verdict != PROBE_NAME_TOO_LONG && verdict != PROBE_STOPPED; }

void ProbeOne(PortSearch* search, size_t index) {
  Candidate& candidate = search->candidates[index];
  ProbeVerdict verdict = ProbePort(candidate.port.name.c_str(), search->buffers[index].get(), IsSearchOver);
  PortOpenDetail detail = {};
  if (ReachedItsOpen(verdict)) PortGetOpenDetail(&detail);
  std::lock_guard<std::mutex> hold(search->lock);
  candidate.verdict = verdict;
  candidate.detail = detail;
  candidate.done = true;
  search->changed.notify_all();
}

void ProbeUntilNoneLeft(PortSearch* search) {
  ProbingFor = search;
  size_t index = 0;
  while (TakeNext(search, &index)) ProbeOne(search, index);
  ProbingFor = nullptr;
}

}  // namespace

std::vector<PortIdentity> CandidatePorts(const PortList& list) {
  std::vector<std::u16string> listed = list.listed;
  std::vector<std::u16string> fromEnvironment;
  if (PortsFromEnvironment(&fromEnvironment)) listed = fromEnvironment;
  if (!list.configured.empty()) listed.insert(listed.begin(), list.configured);
  return DistinctPorts(listed);
}

std::vector<PortIdentity> DistinctPorts(const std::vector<std::u16string>& names) {
  std::map<std::string, size_t> devices;
  std::vector<PortIdentity> ports;
  for (const std::u16string& name : names) AddOnce(IdentifyPort(name), &devices, &ports);
  return ports;
}

void StartSearch(const std::vector<PortIdentity>& ports, StopCheck stopRequested, size_t atOnce,
                 PortSearch* search) {
  search->stopRequested = stopRequested;
  for (const PortIdentity& port : ports) {
    search->candidates.push_back(Candidate{port, false, PROBE_STOPPED, {}});
    search->buffers.emplace_back(new BYTE[ReceiveBufferSize]);
  }
  size_t workers = std::min(atOnce, ports.size());
  for (size_t i = 0; i < workers; ++i) {
    try {
      search->workers.emplace_back(ProbeUntilNoneLeft, search);
    } catch (const std::system_error&) {
      break;  // the process may start no more threads: the ones running share the work
    }
  }
  if (search->workers.empty()) ProbeUntilNoneLeft(search);
}

int WaitForChoice(PortSearch* search, const std::function<void()>& tick) {
  std::unique_lock<std::mutex> hold(search->lock);
  for (;;) {
    const std::vector<Candidate>& candidates = search->candidates;
    size_t i = 0;
    while (i < candidates.size() && candidates[i].done && candidates[i].verdict != PROBE_FOUND) ++i;
    if (i == candidates.size()) return -1;
    if (candidates[i].done) return static_cast<int>(i);
    search->changed.wait_for(hold, TickInterval);
    if (tick) {
      hold.unlock();
      tick();
      hold.lock();
    }
  }
}

void EndSearch(PortSearch* search) { search->ended = true; }

void FinishSearch(PortSearch* search) {
  for (std::thread& worker : search->workers)
    if (worker.joinable()) worker.join();
}

size_t CandidatesDone(PortSearch* search) {
  std::lock_guard<std::mutex> hold(search->lock);
  size_t done = 0;
  for (const Candidate& candidate : search->candidates) done += candidate.done ? 1 : 0;
  return done;
}

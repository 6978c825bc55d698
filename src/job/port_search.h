// The search for the display: the ports the dialog would try, in its order,
// each device once, probed side by side (a fixed number at a time), and the
// port the dialog would have chosen.
#ifndef VFD_JOB_PORT_SEARCH_H
#define VFD_JOB_PORT_SEARCH_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/display_probe.h"
#include "discovery/port_list.h"
#include "records/port_identity.h"
#include "serial/port_ops.h"

// At most this many probes run at once: 16 silent ports still take one
// probe's time, and a thousand candidates neither exhaust the process's
// threads nor its descriptors.
const size_t ProbesAtOnce = 32;

struct Candidate {
  PortIdentity port;
  bool done;
  ProbeVerdict verdict;      // once done
  PortOpenDetail detail;     // what its open found out: who holds a busy port, which group may
                             // open it, why it was used without a lock file
};

// The configured port first, then the listed ports (VFDSTARTUP_PORTS, when
// set, instead of the system's list): one candidate per device, as the
// dialog tries a listed name equal to the configured one only once. It
// stands where the device came first, named as it came first unless only a
// later name fits the platform's port names.
std::vector<PortIdentity> CandidatePorts(const PortList& list);

// The names in order, one per device, by the same rule.
std::vector<PortIdentity> DistinctPorts(const std::vector<std::u16string>& names);

struct PortSearch {
  std::vector<Candidate> candidates;
  std::vector<std::unique_ptr<BYTE[]>> buffers;   // one receive buffer per probe
  std::vector<std::thread> workers;
  size_t next = 0;                                // the next candidate to probe
  StopCheck stopRequested = nullptr;
  std::atomic<bool> ended{false};                 // the choice is made: the probes still running end
  std::mutex lock;
  std::condition_variable changed;
};

// Starts the probes; each puts its port back before it ends. A worker that
// cannot be started is done without (at least the calling thread probes).
void StartSearch(const std::vector<PortIdentity>& ports, StopCheck stopRequested, size_t atOnce,
                 PortSearch* search);

// The candidate the dialog's one-by-one discovery would have picked, as soon
// as that is certain: the first where the display answered, once every
// candidate before it is done; -1 once all are done without one. tick, when
// set, is called about every 200 ms while waiting.
int WaitForChoice(PortSearch* search, const std::function<void()>& tick);

// The choice is made: each probe still running ends at its next step (a
// port asked to enter set-up mode is told to leave it, every port is put
// back and closed), and those not begun are not probed.
void EndSearch(PortSearch* search);

// Waits for every probe; then every verdict is in.
void FinishSearch(PortSearch* search);

// How many candidates are done, under the search's lock.
size_t CandidatesDone(PortSearch* search);

#endif  // VFD_JOB_PORT_SEARCH_H

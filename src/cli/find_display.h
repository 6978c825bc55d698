// The console's search for the display: the ports the dialog would try, in
// its order, probed side by side, and the port the dialog would have chosen.
#ifndef VFD_CLI_FIND_DISPLAY_H
#define VFD_CLI_FIND_DISPLAY_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/display_probe.h"

struct ProbedPort {
  std::u16string name;   // as given or listed, never resolved (probed as the sequence takes it)
  ProbeVerdict verdict;
};

// --port alone when given; otherwise the configured port first, then the
// listed ports (the environment's VFDSTARTUP_PORTS instead of the system's
// list when it is set), each name once as the dialog tries them.
std::vector<std::u16string> CandidatePorts(const std::u16string& givenPort);

// Probes of every candidate, running side by side, each with its own
// receive buffer. Each probe puts its port back before it ends.
struct ProbeRun {
  std::vector<ProbedPort> ports;   // in candidate order; a verdict once done
  std::vector<bool> done;
  std::vector<std::unique_ptr<BYTE[]>> buffers;
  std::vector<std::thread> threads;
  std::mutex lock;
  std::condition_variable finished;
};

void StartProbes(const std::vector<std::u16string>& candidates, ProbeRun* run);

// The port the dialog's one-by-one discovery would have picked, as soon as
// that is certain: the first candidate where the display answered, once
// every candidate before it is done; -1 once all are done without one.
// Later probes may still run.
int WaitForChoice(ProbeRun* run);

// Waits for every probe; then all verdicts are in.
void FinishProbes(ProbeRun* run);

// "display found", "CTS down", ...; and the JSON form, "found", "cts_down".
const char* VerdictText(ProbeVerdict verdict);
const char* VerdictKey(ProbeVerdict verdict);

#endif  // VFD_CLI_FIND_DISPLAY_H

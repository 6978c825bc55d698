// The console's search for the display: the ports the dialog would try, in
// its order, probed side by side, and the port the dialog would have chosen.
#ifndef VFD_CLI_FIND_DISPLAY_H
#define VFD_CLI_FIND_DISPLAY_H

#include <string>
#include <vector>

#include "discovery/display_probe.h"

struct ProbedPort {
  std::u16string name;   // as given or listed, never resolved
  ProbeVerdict verdict;
};

// --port alone when given; otherwise the configured port first, then the
// listed ports (the environment's VFDSTARTUP_PORTS instead of the system's
// list when it is set), each name once as the dialog tries them.
std::vector<std::u16string> CandidatePorts(const std::u16string& givenPort);

// Probes every candidate at the same time, each with its own receive buffer,
// and returns the verdicts in candidate order.
std::vector<ProbedPort> ProbeCandidates(const std::vector<std::u16string>& candidates);

// The first candidate where the display answered, or -1: the port the
// dialog's one-by-one discovery would have picked.
int ChosenCandidate(const std::vector<ProbedPort>& probed);

// "display found", "CTS down", ...; and the JSON form, "found", "cts_down".
const char* VerdictText(ProbeVerdict verdict);
const char* VerdictKey(ProbeVerdict verdict);

#endif  // VFD_CLI_FIND_DISPLAY_H

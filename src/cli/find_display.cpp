#include "cli/find_display.h"

#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/text_convert.h"
#include "discovery/port_list.h"
#include "serial/serial_link.h"

namespace {

struct VerdictName {
  ProbeVerdict verdict;
  const char* text;
  const char* key;
};

const VerdictName VerdictNames[] = {
    {PROBE_FOUND, "display found", "found"},
    {PROBE_CANNOT_OPEN, "cannot open", "cannot_open"},
    {PROBE_BUSY, "busy", "busy"},
    {PROBE_ACCESS_DENIED, "cannot open (access denied)", "access_denied"},
    {PROBE_NOT_SERIAL, "not a serial device", "not_serial"},
    {PROBE_CTS_DOWN, "CTS down", "cts_down"},
    {PROBE_NO_ANSWER, "no answer", "no_answer"},
    {PROBE_WRONG_ANSWER, "wrong answer", "wrong_answer"},
};

const VerdictName* NameOf(ProbeVerdict verdict) {
  for (const VerdictName& name : VerdictNames)
    if (name.verdict == verdict) return &name;
  return &VerdictNames[1];
}

// VFDSTARTUP_PORTS: names separated by blanks, for unusual setups and tests.
bool PortsFromEnvironment(std::vector<std::u16string>* ports) {
  const char* value = std::getenv("VFDSTARTUP_PORTS");
  if (value == nullptr) return false;
  std::istringstream words(value);
  std::string word;
  std::u16string name;
  while (words >> word)
    if (Utf8ToUtf16(word, &name)) ports->push_back(name);
  return true;
}

void AddOnce(const std::u16string& name, std::vector<std::u16string>* candidates) {
  for (const std::u16string& known : *candidates)
    if (known == name) return;
  candidates->push_back(name);
}

}  // namespace

std::vector<std::u16string> CandidatePorts(const std::u16string& givenPort) {
  if (!givenPort.empty()) return {givenPort};
  PortList list;
  ReadPortList(&list);
  std::vector<std::u16string> fromEnvironment;
  if (PortsFromEnvironment(&fromEnvironment)) list.listed = fromEnvironment;
  std::vector<std::u16string> candidates;
  if (!list.configured.empty()) candidates.push_back(list.configured);
  // The dialog skips a listed name equal to the configured port; a name
  // listed twice it tries twice, but both probes would give one answer.
  for (const std::u16string& name : list.listed) AddOnce(name, &candidates);
  return candidates;
}

std::vector<ProbedPort> ProbeCandidates(const std::vector<std::u16string>& candidates) {
  std::vector<ProbedPort> probed(candidates.size());
  std::vector<std::unique_ptr<BYTE[]>> buffers;
  std::vector<std::thread> probes;
  for (size_t i = 0; i < candidates.size(); ++i) {
    probed[i].name = candidates[i];
    buffers.emplace_back(new BYTE[ReceiveBufferSize]);
    BYTE* buffer = buffers.back().get();
    ProbedPort* result = &probed[i];
    probes.emplace_back([result, buffer] { result->verdict = ProbePort(result->name.c_str(), buffer); });
  }
  for (std::thread& probe : probes) probe.join();
  return probed;
}

int ChosenCandidate(const std::vector<ProbedPort>& probed) {
  for (size_t i = 0; i < probed.size(); ++i)
    if (probed[i].verdict == PROBE_FOUND) return static_cast<int>(i);
  return -1;
}

const char* VerdictText(ProbeVerdict verdict) { return NameOf(verdict)->text; }

const char* VerdictKey(ProbeVerdict verdict) { return NameOf(verdict)->key; }

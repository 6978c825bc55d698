#include "cli/find_display.h"

#include <cstdlib>
#include <sstream>

#include "cli/cli_platform.h"
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

void StartProbes(const std::vector<std::u16string>& candidates, ProbeRun* run) {
  run->ports.resize(candidates.size());
  run->done.assign(candidates.size(), false);
  for (size_t i = 0; i < candidates.size(); ++i) {
    run->ports[i].name = candidates[i];
    run->buffers.emplace_back(new BYTE[ReceiveBufferSize]);
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    run->threads.emplace_back([run, i] {
      std::u16string name;
      Utf8ToUtf16(PortNameForSequence(Utf16ToUtf8(run->ports[i].name)), &name);
      ProbeVerdict verdict = ProbePort(name.c_str(), run->buffers[i].get());
      std::lock_guard<std::mutex> hold(run->lock);
      run->ports[i].verdict = verdict;
      run->done[i] = true;
      run->finished.notify_all();
    });
  }
}

int WaitForChoice(ProbeRun* run) {
  std::unique_lock<std::mutex> hold(run->lock);
  for (;;) {
    size_t i = 0;
    while (i < run->ports.size() && run->done[i] && run->ports[i].verdict != PROBE_FOUND) ++i;
    if (i == run->ports.size()) return -1;
    if (run->done[i]) return static_cast<int>(i);
    run->finished.wait(hold);
  }
}

void FinishProbes(ProbeRun* run) {
  for (std::thread& thread : run->threads)
    if (thread.joinable()) thread.join();
}

const char* VerdictText(ProbeVerdict verdict) { return NameOf(verdict)->text; }

const char* VerdictKey(ProbeVerdict verdict) { return NameOf(verdict)->key; }

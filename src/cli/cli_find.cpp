// find: every port the dialog would try, probed side by side, and the one
// a write would use.
#include "cli/cli_commands.h"
#include "cli/find_display.h"
#include "cli/text_convert.h"

namespace {

std::vector<ProbedPort> ProbeAll(const std::string& givenPort) {
  std::u16string given;
  Utf8ToUtf16(givenPort, &given);
  return ProbeCandidates(CandidatePorts(given));
}

void AddCandidates(CliRun* run, const std::vector<ProbedPort>& probed, int chosen) {
  std::vector<std::string> entries;
  for (const ProbedPort& port : probed) {
    JsonObject entry;
    JsonAdd(&entry, "port", JsonString(Utf16ToUtf8(port.name)));
    JsonAdd(&entry, "verdict", JsonString(VerdictKey(port.verdict)));
    entries.push_back(JsonRender(entry));
  }
  JsonAdd(&run->result, "candidates", JsonArray(entries));
  JsonAdd(&run->result, "chosen", chosen < 0 ? "null" : JsonString(Utf16ToUtf8(probed[chosen].name)));
}

void PrintCandidates(const std::vector<ProbedPort>& probed, int chosen) {
  for (const ProbedPort& port : probed)
    PrintLine(Utf16ToUtf8(port.name) + ": " + VerdictText(port.verdict));
  if (chosen >= 0) PrintLine("write would use " + Utf16ToUtf8(probed[chosen].name));
}

}  // namespace

std::string DiscoverPort(CliRun* run) {
  std::vector<ProbedPort> probed = ProbeAll(run->options.port);
  int chosen = ChosenCandidate(probed);
  AddCandidates(run, probed, chosen);
  if (!run->options.json && probed.empty()) PrintProblem("no serial ports to look for the display on");
  else if (!run->options.json && chosen < 0) PrintProblem("no display found");
  return chosen < 0 ? std::string() : Utf16ToUtf8(probed[chosen].name);
}

int RunFind(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  JsonAdd(&run.result, "command", JsonString("find"));
  std::vector<ProbedPort> probed = ProbeAll(options.port);
  int chosen = ChosenCandidate(probed);
  AddCandidates(&run, probed, chosen);
  JsonAdd(&run.result, "port", chosen < 0 ? "null" : JsonString(Utf16ToUtf8(probed[chosen].name)));
  JsonAdd(&run.result, "outcome", JsonString(chosen < 0 ? "no_display" : "found"));
  if (options.json) {
    PrintJsonResult(&run);
  } else {
    PrintCandidates(probed, chosen);
    if (chosen < 0) PrintProblem(probed.empty() ? "no serial ports to look for the display on" : "no display found");
  }
  return chosen < 0 ? EXIT_NO_PORT : EXIT_STORED;
}

// find: every port the dialog would try, probed side by side, and the one
// a write would use.
#include "cli/cli_commands.h"
#include "cli/find_display.h"
#include "cli/text_convert.h"

namespace {

void StartSearch(const std::string& givenPort, ProbeRun* probes) {
  std::u16string given;
  Utf8ToUtf16(givenPort, &given);
  StartProbes(CandidatePorts(given), probes);
}

void PrintCandidates(const std::vector<ProbedPort>& probed, int chosen) {
  for (const ProbedPort& port : probed)
    PrintLine(Utf16ToUtf8(port.name) + ": " + VerdictText(port.verdict));
  if (chosen >= 0) PrintLine("write would use " + Utf16ToUtf8(probed[chosen].name));
}

// Said on standard error, and as the JSON result's "detail", with what each
// port answered (every probe is done when none found a display).
void ReportNoDisplay(CliRun* run, const ProbeRun& probes) {
  std::string text = probes.ports.empty() ? "no serial ports to look for the display on" : "no display found (";
  for (size_t i = 0; i < probes.ports.size(); ++i)
    text += (i ? ", " : "") + Utf16ToUtf8(probes.ports[i].name) + ": " + VerdictKey(probes.ports[i].verdict);
  if (!probes.ports.empty()) text += ")";
  JsonAdd(&run->result, "detail", JsonString(text));
  if (!run->options.json) PrintProblem(text);
}

}  // namespace

void AddCandidatesJson(CliRun* run, ProbeRun* probes, int chosen) {
  FinishProbes(probes);
  std::vector<std::string> entries;
  for (const ProbedPort& port : probes->ports) {
    JsonObject entry;
    JsonAdd(&entry, "port", JsonString(Utf16ToUtf8(port.name)));
    JsonAdd(&entry, "verdict", JsonString(VerdictKey(port.verdict)));
    entries.push_back(JsonRender(entry));
  }
  JsonAdd(&run->result, "candidates", JsonArray(entries));
  JsonAdd(&run->result, "chosen", chosen < 0 ? "null" : JsonString(Utf16ToUtf8(probes->ports[chosen].name)));
}

std::string DiscoverPort(CliRun* run, ProbeRun* probes) {
  StartSearch(run->options.port, probes);
  int chosen = WaitForChoice(probes);
  if (chosen < 0) ReportNoDisplay(run, *probes);
  return chosen < 0 ? std::string() : Utf16ToUtf8(probes->ports[chosen].name);
}

int RunFind(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  JsonAdd(&run.result, "command", JsonString("find"));
  ProbeRun probes;
  std::string port = DiscoverPort(&run, &probes);
  int chosen = WaitForChoice(&probes);
  AddCandidatesJson(&run, &probes, chosen);
  JsonAdd(&run.result, "port", port.empty() ? "null" : JsonString(port));
  JsonAdd(&run.result, "outcome", JsonString(port.empty() ? "no_display" : "found"));
  if (options.json) PrintJsonResult(&run);
  else PrintCandidates(probes.ports, chosen);
  return port.empty() ? EXIT_NO_PORT : EXIT_STORED;
}

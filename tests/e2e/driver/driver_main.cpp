// vfd_e2e_driver: runs one end-to-end case of cases.txt, or one scenario,
// against vfdstartup.exe.
//
//   vfd_e2e_driver.exe --list
//   vfd_e2e_driver.exe <case> --program <exe> [--artifacts <folder>] [options]
//   vfd_e2e_driver.exe <scenario> --program <exe> [--port COM3]
//       [--ports COM1,COM3] [--record <file>] [--artifacts <folder>]
//       [--product <text>] [--mode auto|interactive] [--count N]
//       [--inject <command>] [--recover <command>] [--boxes ok,failed,...]
//       [--port-seen closed|not-opened|hung-up]
//
// A case runs its scenario with the options of its "driver" line, then those
// given here. Paths may be given as Linux paths; they are reached through
// drive Z:. Exit code: 0 when every check passed, 1 when one failed, 2 on
// bad usage.
#include <windows.h>

#include <cstdio>
#include <sstream>

#include "checks.h"
#include "rig_client.h"
#include "session.h"

namespace {

// Longer than any scenario takes; a hung scenario must still end, and end
// the program with it, before the test's own time limit kills everything.
const DWORD WatchdogMs = 120000;
// The long scenarios (soak, benchmarks) get this much more per press or run.
const DWORD WatchdogPerCountMs = 5000;

DWORD WINAPI Watchdog(LPVOID parameter) {
  DWORD limitMs = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter));
  Sleep(limitMs);
  std::printf("  FAIL the scenario did not end within %lu s\n", static_cast<unsigned long>(limitMs / 1000));
  std::fflush(stdout);
  EndRunningProgramNow();
  ExitProcess(1);
}

const char CasesText[] =
#include "cases_text.inc"
    ;

// As the shell splits words: blanks separate them, '...' and "..." keep
// blanks and the other quote.
std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  bool inWord = false;
  char quote = 0;
  for (char c : line) {
    bool blank = quote == 0 && (c == ' ' || c == '\t' || c == '\r');
    if (!blank && !inWord) {
      words.emplace_back();
    }
    inWord = !blank;
    if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c;
    } else if (c == quote) {
      quote = 0;
    } else if (!blank) {
      words.back() += c;
    }
  }
  return words;
}

// The cases of cases.txt, which the driver is built with: each name and the
// words of its "driver" line, the scenario and its options.
struct CaseRow {
  std::string name;
  std::vector<std::string> driverWords;
};

std::vector<CaseRow> ReadCases() {
  std::vector<CaseRow> rows;
  std::istringstream text(CasesText);
  std::string line;
  while (std::getline(text, line)) {
    std::vector<std::string> words = SplitWords(line);
    if (words.size() >= 2 && words[0] == "case") {
      rows.push_back({words[1], {}});
    } else if (words.size() >= 2 && words[0] == "driver" && !rows.empty()) {
      rows.back().driverWords.assign(words.begin() + 1, words.end());
    }
  }
  return rows;
}

const std::vector<CaseRow> Cases = ReadCases();

const CaseRow* FindCase(const std::string& name) {
  for (const CaseRow& row : Cases) {
    if (row.name == name) {
      return &row;
    }
  }
  return nullptr;
}

// Wine shows the Linux file system as drive Z:.
std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') {
    return path;
  }
  std::wstring converted = L"Z:" + path;
  for (wchar_t& unit : converted) {
    if (unit == L'/') {
      unit = L'\\';
    }
  }
  return converted;
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
  std::vector<std::wstring> items;
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(L',', start);
    size_t end = comma == std::wstring::npos ? text.size() : comma;
    items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

bool ParseOption(const std::string& name, const std::wstring& value, DriverOptions* options) {
  if (name == "--program") {
    options->program = WindowsPath(value);
  } else if (name == "--port") {
    options->port = value;
  } else if (name == "--ports") {
    options->ports = SplitList(value);
  } else if (name == "--record") {
    options->record = WindowsPath(value);
  } else if (name == "--artifacts") {
    options->artifacts = WindowsPath(value);
  } else if (name == "--product") {
    options->productType = value;
  } else if (name == "--count") {
    options->count = _wtoi(value.c_str());
  } else if (name == "--mode" && (value == L"auto" || value == L"interactive")) {
    options->automatic = value == L"auto";
  } else if (name == "--inject") {
    options->inject = value;
  } else if (name == "--recover") {
    options->recover = value;
  } else if (name == "--boxes") {
    options->boxes = SplitList(value);
  } else if (name == "--port-seen" && (value == L"closed" || value == L"not-opened" || value == L"hung-up")) {
    options->portSeen = value;
  } else {
    return false;
  }
  return true;
}

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& scenario : Scenarios()) {
    if (name == scenario.name) {
      return &scenario;
    }
  }
  return nullptr;
}

int Usage() {
  std::fprintf(stderr, "usage: vfd_e2e_driver --list | <case or scenario> --program <exe> [options]\ncases:");
  for (const CaseRow& row : Cases) {
    std::fprintf(stderr, " %s", row.name.c_str());
  }
  std::fprintf(stderr, "\nscenarios:");
  for (const Scenario& scenario : Scenarios()) {
    std::fprintf(stderr, " %s", scenario.name);
  }
  std::fprintf(stderr, "\n");
  return 2;
}

// The scenario's name and options: a case's from its "driver" line, then
// the command line's.
std::vector<std::string> ScenarioWords(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  const CaseRow* row = words.empty() ? nullptr : FindCase(words[0]);
  if (row != nullptr) {
    words.erase(words.begin());
    words.insert(words.begin(), row->driverWords.begin(), row->driverWords.end());
  }
  return words;
}

bool ParseOptions(const std::vector<std::string>& words, DriverOptions* options) {
  options->productType = Widen(expected::AcceptedProductType);
  for (size_t i = 1; i + 1 < words.size(); i += 2) {
    if (!ParseOption(words[i], Widen(words[i + 1]), options)) {
      return false;
    }
  }
  if (options->record.empty()) {
    options->record = RigPortFile(options->port.empty() ? L"COM3" : options->port.c_str(), L".rec");
  }
  return !options->program.empty() && words.size() % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const CaseRow& row : Cases) {
      std::printf("%s\n", row.name.c_str());
    }
    return 0;
  }
  std::vector<std::string> words = ScenarioWords(argc, argv);
  const Scenario* scenario = words.empty() ? nullptr : FindScenario(words[0]);
  DriverOptions options;
  if (scenario == nullptr || !ParseOptions(words, &options)) {
    return Usage();
  }
  const char* name = argv[1];
  std::printf("%s %s\n", FindCase(name) != nullptr ? "case" : "scenario", name);
  std::fflush(stdout);
  DWORD started = GetTickCount();
  if (scenario->watched || options.automatic) {
    ULONG_PTR limitMs = WatchdogMs + static_cast<ULONG_PTR>(options.count > 0 ? options.count : 0) * WatchdogPerCountMs;
    CloseHandle(CreateThread(nullptr, 0, Watchdog, reinterpret_cast<LPVOID>(limitMs), 0, nullptr));
  }
  Session session = {};
  if (scenario->startsProgram || OpenSession(options, &session)) {
    scenario->run(session, options);
  }
  EndProgram(&session.run);
  int failures = FailureCount();
  std::printf("%s: %s in %lu ms\n", name, failures == 0 ? "passed" : "FAILED",
              static_cast<unsigned long>(GetTickCount() - started));
  return failures == 0 ? 0 : 1;
}

// vfd_e2e_driver: runs one end-to-end scenario against vfdstartup.exe.
//
//   vfd_e2e_driver.exe <scenario> --program <exe> [--port COM3]
//       [--ports COM1,COM3] [--record <file>] [--artifacts <folder>]
//       [--product <text>] [--mode auto|interactive] [--count N]
//
// Paths may be given as Linux paths; they are reached through drive Z:.
// Exit code: 0 when every check passed, 1 when one failed, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "checks.h"
#include "scenarios.h"
#include "ui_automation.h"

namespace {

// Longer than any scenario takes; a hung scenario must still end, and end
// the program with it, before the test's own time limit kills everything.
const DWORD kWatchdogMs = 120000;
// The long scenarios (soak, benchmarks) get this much more per press or run.
const DWORD kWatchdogPerCountMs = 5000;

DWORD WINAPI Watchdog(LPVOID parameter) {
  DWORD limitMs = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter));
  Sleep(limitMs);
  std::printf("  FAIL the scenario did not end within %lu s\n", static_cast<unsigned long>(limitMs / 1000));
  std::fflush(stdout);
  EndRunningProgramNow();
  ExitProcess(1);
}

std::wstring Widen(const char* text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) {
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], size);
  }
  return wide;
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

bool ParseOption(const char* name, const std::wstring& value, DriverOptions* options) {
  if (std::strcmp(name, "--program") == 0) {
    options->program = WindowsPath(value);
  } else if (std::strcmp(name, "--port") == 0) {
    options->port = value;
  } else if (std::strcmp(name, "--ports") == 0) {
    options->ports = SplitList(value);
  } else if (std::strcmp(name, "--record") == 0) {
    options->record = WindowsPath(value);
  } else if (std::strcmp(name, "--artifacts") == 0) {
    options->artifacts = WindowsPath(value);
  } else if (std::strcmp(name, "--product") == 0) {
    options->productType = value;
  } else if (std::strcmp(name, "--count") == 0) {
    options->count = _wtoi(value.c_str());
  } else if (std::strcmp(name, "--mode") == 0 && (value == L"auto" || value == L"interactive")) {
    options->automatic = value == L"auto";
  } else {
    return false;
  }
  return true;
}

const Scenario* FindScenario(const char* name) {
  for (const Scenario& scenario : Scenarios()) {
    if (std::strcmp(scenario.name, name) == 0) {
      return &scenario;
    }
  }
  return nullptr;
}

int Usage() {
  std::fprintf(stderr, "usage: vfd_e2e_driver <scenario> --program <exe> [options]\nscenarios:");
  for (const Scenario& scenario : Scenarios()) {
    std::fprintf(stderr, " %s", scenario.name);
  }
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Scenario* scenario = argc >= 2 ? FindScenario(argv[1]) : nullptr;
  if (scenario == nullptr) {
    return Usage();
  }
  DriverOptions options;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (!ParseOption(argv[i], Widen(argv[i + 1]), &options)) {
      return Usage();
    }
  }
  if (options.program.empty() || argc % 2 != 0) {
    return Usage();
  }
  std::printf("scenario %s\n", scenario->name);
  std::fflush(stdout);
  DWORD started = GetTickCount();
  if (scenario->watched || options.automatic) {
    ULONG_PTR limitMs = kWatchdogMs + static_cast<ULONG_PTR>(options.count > 0 ? options.count : 0) * kWatchdogPerCountMs;
    CloseHandle(CreateThread(nullptr, 0, Watchdog, reinterpret_cast<LPVOID>(limitMs), 0, nullptr));
  }
  scenario->run(options);
  int failures = FailureCount();
  std::printf("scenario %s: %s in %lu ms\n", scenario->name, failures == 0 ? "passed" : "FAILED",
              static_cast<unsigned long>(GetTickCount() - started));
  return failures == 0 ? 0 : 1;
}

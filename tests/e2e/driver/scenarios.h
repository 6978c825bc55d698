// The end-to-end scenarios: each starts vfdstartup.exe, works its dialog
// like an operator and checks what the screen and the display show. The
// cases of cases.txt name one with its options.
#ifndef VFD_E2E_SCENARIOS_H
#define VFD_E2E_SCENARIOS_H

#include <string>
#include <vector>

struct DriverOptions {
  std::wstring program;             // vfdstartup.exe
  std::wstring port;                // the port the port field must show
  std::vector<std::wstring> ports;  // the drop-down list, in its sorted order
  std::wstring record;              // the display's stored record (default: the rig's, of --port or COM3)
  std::wstring artifacts;           // folder for the screenshot
  std::wstring productType;         // what the display reports (default: the accepted one)
  bool automatic = true;            // false: the operator uses the dialog (show only)
  int count = 0;                    // presses or runs of the long scenarios (0: their default)
  // The fault scenario: the control commands that bring the fault and take
  // it away, the fault press's boxes by name, what the log shows of its port.
  std::wstring inject;
  std::wstring recover;
  std::vector<std::wstring> boxes;
  std::wstring portSeen = L"closed";
};

// The driver starts vfdstartup.exe and finds its dialog for the scenario.
struct Session;
typedef void (*ScenarioProc)(Session& session, const DriverOptions& options);

struct Scenario {
  const char* name;
  ScenarioProc run;
  bool watched;         // false: may wait for an operator as long as they take
  bool startsProgram = false;  // true: starts the program itself instead
};

const std::vector<Scenario>& Scenarios();

#endif  // VFD_E2E_SCENARIOS_H

// The end-to-end scenarios: each starts vfdstartup.exe, works its dialog
// like an operator and checks what the screen and the display show.
#ifndef VFD_E2E_SCENARIOS_H
#define VFD_E2E_SCENARIOS_H

#include <string>
#include <vector>

struct DriverOptions {
  std::wstring program;             // vfdstartup.exe
  std::wstring port;                // the port the port field must show
  std::vector<std::wstring> ports;  // the drop-down list, in its sorted order
  std::wstring record;              // the emulated display's stored record
  std::wstring artifacts;           // folder for the screenshot
  std::wstring productType;         // what the display reports, when not the accepted one
  bool automatic = true;            // false: the operator uses the dialog (show only)
  int count = 0;                    // presses or runs of the long scenarios (0: their default)
};

typedef void (*ScenarioProc)(const DriverOptions& options);

struct Scenario {
  const char* name;
  ScenarioProc run;
  bool watched;  // false: may wait for an operator as long as they take
};

const std::vector<Scenario>& Scenarios();

#endif  // VFD_E2E_SCENARIOS_H

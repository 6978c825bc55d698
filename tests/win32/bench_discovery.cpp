// vfd_discovery_bench: wall time of DiscoverPorts (and ProbeDisplay) under
// Wine against emulated modules, next to the floor that the probe's own
// waits imply. Not a test: it prints figures. Runs inside a rig with enough
// emulated ports (scripts/bench-discovery.sh brings one up with 16).
//
//   vfd_discovery_bench [--sizes 1,4,16] [--silent-max N]
//
// Kinds of port, each for N listed ports:
//   cts-down   every module holds CTS down: each probe ends after its 10 ms
//              wait; floor N x 10 ms (and N x (10 ms + the port calls))
//   answering  every module answers; each is probed directly, as discovery
//              would if it had to go on: floor N x 60 ms (10 ms CTS wait and
//              50 ms after the exit command) plus the reply's arrival
//   last-answers  discovery over N ports of which only the last answers and
//              the others hold CTS down: floor (N - 1) x 10 + 60 ms
//   silent     every module holds CTS up and never answers: floor
//              N x (5000 ms reply allowance + 60 ms)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "combo_window.h"
#include "discovery/display_probe.h"
#include "discovery/port_discovery.h"
#include "rig_client.h"
#include "rig_fixture.h"
#include "serial/serial_link.h"

namespace {

const double CtsWaitMs = 10;
const double ExitWaitMs = 50;
const double ReplyAllowanceMs = 5000;

struct Options {
  std::vector<int> sizes = {1, 4, 16};
  int silentMax = 16;
};

std::wstring PortName(int number) { return L"COM" + std::to_wstring(number); }

// COM1..COMn listed; two-digit value names, because Wine enumerates values in
// the order of their names.
bool ListPorts(int count) {
  std::vector<SerialCommValue> values;
  for (int i = 1; i <= count; ++i) {
    wchar_t name[32];
    std::swprintf(name, 32, L"\\Device\\Serial%02d", i - 1);
    values.push_back(PortValue(name, PortName(i)));
  }
  return SetSerialComm(values);
}

bool SetModes(int count, const char* mode, const char* lastMode) {
  for (int i = 1; i <= count; ++i) {
    std::string command = (i == count && lastMode) ? lastMode : mode;
    if (!Emulator(PortName(i).c_str(), {"reset-log", "power-cycle", command})) return false;
  }
  return true;
}

double TimeDiscovery() {
  ComboWindow window = CreateComboWindow();
  if (!window.combo) {
    std::fprintf(stderr, "no window: run with a display (rig.sh --x)\n");
    std::exit(2);
  }
  double start = NowMs();
  DiscoverPortsInto(window);
  double elapsed = NowMs() - start;
  DestroyComboWindow(&window);
  return elapsed;
}

double TimeDirectProbes(int count) {
  double start = NowMs();
  for (int i = 1; i <= count; ++i) {
    std::wstring name = PortName(i);
    if (!ProbeDisplay(reinterpret_cast<const Utf16Unit*>(name.c_str())))
      std::fprintf(stderr, "warning: COM%d did not answer\n", i);
  }
  return NowMs() - start;
}

// What one probe of a CTS-down port costs besides its 10 ms wait: the same
// calls in the same order, without the wait.
double PortCallsMs(int count) {
  double start = NowMs();
  for (int i = 1; i <= count; ++i) {
    std::wstring name = PortName(i);
    SerialLink link;
    if (!OpenPort(reinterpret_cast<const Utf16Unit*>(name.c_str()), &link)) continue;
    SaveLineSettings(&link);
    SaveTimeouts(&link);
    ApplyTimeouts(&link, PROBE_TIMEOUTS);
    PurgePort(&link);
    ApplyLineProfile(&link, PROBE_PROFILE);
    IsCtsUp(&link);
    RestoreLineSettings(&link);
    RestoreTimeouts(&link);
    ClosePort(&link);
  }
  return (NowMs() - start) / count;
}

void PrintHeader() {
  std::printf("%-13s %3s %11s %10s %6s %13s %6s %9s\n", "kind", "N", "measured ms", "floor ms",
              "ratio", "floor+calls", "ratio", "per port");
}

// floor: the waits alone; floor+calls: the waits and, per probe, the port
// calls as measured without waits.
void PrintRow(const char* kind, int n, double measured, double floor, double callsPerPort) {
  double withCalls = floor + n * callsPerPort;
  std::printf("%-13s %3d %11.1f %10.1f %6.2f %13.1f %6.2f %9.1f\n", kind, n, measured, floor,
              measured / floor, withCalls, measured / withCalls, measured / n);
  std::fflush(stdout);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sizes") == 0 && i + 1 < argc) {
      options->sizes.clear();
      for (char* p = argv[++i]; *p;) {
        options->sizes.push_back(static_cast<int>(std::strtol(p, &p, 10)));
        if (*p == ',') ++p;
      }
    } else if (std::strcmp(argv[i], "--silent-max") == 0 && i + 1 < argc) {
      options->silentMax = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: vfd_discovery_bench [--sizes 1,4,16] [--silent-max N]\n");
      return false;
    }
  }
  return true;
}

bool PortsAvailable(int count) {
  for (int i = 1; i <= count; ++i) {
    if (RigPortFile(PortName(i).c_str(), L".ctl").empty() ||
        RigReadFile(RigPortFile(PortName(i).c_str(), L".ctl.ack")).empty()) {
      std::fprintf(stderr, "no emulator on COM%d: bring the rig up with --ports %d\n", i, count);
      return false;
    }
  }
  return true;
}

void RunSize(int n, const Options& options) {
  if (!ListPorts(n)) std::fprintf(stderr, "cannot write the port list\n");

  SetModes(n, "mode cts-down", nullptr);
  double calls = PortCallsMs(n);
  PrintRow("cts-down", n, TimeDiscovery(), n * CtsWaitMs, calls);

  SetModes(n, "mode normal", nullptr);
  PrintRow("answering", n, TimeDirectProbes(n), n * (CtsWaitMs + ExitWaitMs), calls);

  SetModes(n, "mode cts-down", "mode normal");
  PrintRow("last-answers", n, TimeDiscovery(), n * CtsWaitMs + ExitWaitMs, calls);

  if (n <= options.silentMax) {
    SetModes(n, "mode silent", nullptr);
    PrintRow("silent", n, TimeDiscovery(), n * (ReplyAllowanceMs + CtsWaitMs + ExitWaitMs), calls);
  }
  SetModes(n, "mode normal", nullptr);
  std::printf("%-13s %3d port calls without waits: %.1f ms per port\n", "", n, calls);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  if (!RigAvailable()) {
    std::fprintf(stderr, "run inside the Wine rig (scripts/bench-discovery.sh)\n");
    return 2;
  }
  int largest = 0;
  for (int n : options.sizes) largest = n > largest ? n : largest;
  if (largest < 1 || !PortsAvailable(largest)) return 2;
  DeleteOposPort(KEY_WOW64_32KEY);
  PrintHeader();
  for (int n : options.sizes) RunSize(n, options);
  return 0;
}

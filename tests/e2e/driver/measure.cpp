// The long runs: a soak of many presses with the program's handles and
// memory sampled along the way, and the timings of scripts/bench-write.sh.
// They print figures; only the soak also fails on a wrong box, a record
// that was not stored byte for byte, or handles or memory that grow.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>

#include "faults.h"
#include "rig_client.h"
#include "session.h"

namespace {

const DWORD kBoxTimeoutMs = 20000;
const DWORD kCloseTimeoutMs = 3000;
const int kDefaultPresses = 300;
const int kDefaultRuns = 20;
const wchar_t kDialogCaption[] = L"QV rm7700 Line Display  Startup Message";
// A leak of one handle or a few hundred bytes per press would pass these
// over a few presses but not over a soak of hundreds.
const long long kHandleSlack = 2;
const long long kPrivateBytesSlack = 512 * 1024;

struct Sample {
  int press;
  DWORD handles;
  SIZE_T privateBytes;
  SIZE_T workingSet;
};

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

typedef NTSTATUS(NTAPI* QuerySystemInformationProc)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// The system's process list, which Wine fills from its server: there the
// handle count and the private bytes of another process are known even
// where GetProcessHandleCount and GetProcessMemoryInfo report 0 for them.
bool SampleFromProcessList(DWORD processId, Sample* sample) {
  QuerySystemInformationProc query = reinterpret_cast<QuerySystemInformationProc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<BYTE> buffer(1 << 20);
  ULONG needed = 0;
  if (query == nullptr ||
      query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
    return false;
  }
  for (size_t at = 0;;) {
    const SYSTEM_PROCESS_INFORMATION* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[at]);
    if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId)) == processId) {
      sample->handles = sample->handles != 0 ? sample->handles : entry->HandleCount;
      SIZE_T privateBytes = entry->VirtualMemoryCounters.PagefileUsage;
      sample->privateBytes = sample->privateBytes != 0 ? sample->privateBytes : privateBytes;
      return true;
    }
    if (entry->NextEntryOffset == 0) {
      return false;
    }
    at += entry->NextEntryOffset;
  }
}

bool TakeSample(const Session& session, int press, Sample* sample) {
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  sample->press = press;
  sample->handles = 0;
  bool ok = GetProcessHandleCount(session.run.info.hProcess, &sample->handles) != 0;
  ok = GetProcessMemoryInfo(session.run.info.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                            sizeof memory) != 0 && ok;
  sample->privateBytes = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
  sample->workingSet = memory.WorkingSetSize;
  if (sample->handles == 0 || sample->privateBytes == 0) {
    SampleFromProcessList(session.run.info.dwProcessId, sample);
  }
  return ok && sample->handles != 0 && sample->privateBytes != 0;
}

size_t CountCloses(const std::wstring& port) {
  std::string log = RigReadFile(RigPortFile(port.c_str(), L".log"));
  size_t count = 0;
  for (size_t at = log.find("\"event\":\"close\""); at != std::string::npos;
       at = log.find("\"event\":\"close\"", at + 1)) {
    ++count;
  }
  return count;
}

bool WaitForCloseCount(const std::wstring& port, size_t count) {
  DWORD deadline = DeadlineIn(kCloseTimeoutMs);
  while (CountCloses(port) < count) {
    if (IsPast(deadline)) {
      return false;
    }
    Sleep(10);
  }
  return true;
}

// Texts that change at every press: lengths from 0 to 63, every printable
// character from 0x20 to 0x7F in turn.
std::wstring SoakText(int press, int row) {
  size_t length = static_cast<size_t>((press * 7 + row * 31) % 64);
  std::wstring text;
  for (size_t i = 0; i < length; ++i) {
    text += static_cast<wchar_t>(0x20 + (press + row * 11 + static_cast<int>(i)) % 96);
  }
  return text;
}

// Finds the next box as soon as it is there (1 ms polls); the time it was seen.
bool WaitForBoxQuickly(const Session& session, SeenBox* box, LARGE_INTEGER* seenAt) {
  DWORD deadline = DeadlineIn(kBoxTimeoutMs);
  while (!WaitForBox(session.run.info.dwProcessId, session.dialog, 0, box)) {
    if (IsPast(deadline)) {
      return false;
    }
    Sleep(1);
  }
  *seenAt = Now();
  return true;
}

const std::wstring& SuccessText() {
  static const std::wstring text =
      std::wstring(L"Product type: ") + kAcceptedProductType + L"\r\nStartup Message write: (OK)     ";
  return text;
}

// One press, checked quietly: only a mismatch is reported.
bool CheckedPress(const Session& session, const DriverOptions& options, const std::wstring& row0,
                  const std::wstring& row1, int speed, const std::string& at, double* elapsedMs) {
  size_t closes = CountCloses(options.port);
  WriteText(Control(session, IDC_ROW0), row0);
  WriteText(Control(session, IDC_ROW1), row1);
  SelectComboItem(Control(session, IDC_SPEED), speed);
  LARGE_INTEGER pressed = Now();
  ClickButton(Control(session, IDC_WRITE));
  SeenBox box = {};
  LARGE_INTEGER seenAt = {};
  if (!Expect(WaitForBoxQuickly(session, &box, &seenAt), at + "a box appears")) {
    return false;
  }
  *elapsedMs = Milliseconds(pressed, seenAt);
  bool ok = (box.caption == L"Startup Message write successful" && box.text == SuccessText()) ||
            Expect(false, at + "box \"" + Visible(box.caption) + "\": \"" + Visible(box.text) + "\"");
  ok = (DismissBox(box, 5000) || Expect(false, at + "OK closes the box")) && ok;
  ok = (WaitForCloseCount(options.port, closes + 1) || Expect(false, at + "the port is closed")) && ok;
  ByteString expected = MakeRecord(static_cast<BYTE>(0x10 + speed), row0, row1);
  ByteString stored = ReadRecordFile(options.record);
  return (stored == expected || ExpectBytes(stored, expected, at + "stored record")) && ok;
}

bool SoakPress(const Session& session, const DriverOptions& options, int press, double* elapsedMs) {
  return CheckedPress(session, options, SoakText(press, 0), SoakText(press, 1), press % 6,
                      "press " + std::to_string(press) + ": ", elapsedMs);
}

void PrintSample(const char* label, const Sample& sample) {
  std::printf("  ..    %-5s after press %3d: handles %lu, private %lu KiB, working set %lu KiB\n", label, sample.press,
              static_cast<unsigned long>(sample.handles), static_cast<unsigned long>(sample.privateBytes / 1024),
              static_cast<unsigned long>(sample.workingSet / 1024));
}

void ReportSamples(const std::vector<Sample>& samples) {
  if (!Expect(samples.size() >= 2, "at least two samples of handles and memory")) {
    return;
  }
  Sample most = samples[0];
  for (const Sample& sample : samples) {
    most.handles = std::max(most.handles, sample.handles);
    most.privateBytes = std::max(most.privateBytes, sample.privateBytes);
    most.workingSet = std::max(most.workingSet, sample.workingSet);
  }
  most.press = samples.back().press;
  std::string all;
  for (const Sample& sample : samples) {
    all += " " + std::to_string(sample.press) + ":" + std::to_string(sample.handles) + "/" +
           std::to_string(sample.privateBytes / 1024);
  }
  Note("samples (press:handles/private KiB):" + all);
  // The first sample is taken after the first press, once every code path
  // and Wine's own lazily loaded DLLs have been through once.
  PrintSample("first", samples.front());
  PrintSample("last", samples.back());
  PrintSample("max", most);
  Expect(static_cast<long long>(most.handles) <= static_cast<long long>(samples.front().handles) + kHandleSlack,
         "handle count flat over the soak");
  Expect(static_cast<long long>(samples.back().privateBytes) <=
             static_cast<long long>(samples.front().privateBytes) + kPrivateBytesSlack,
         "private bytes flat over the soak");
}

void PrintTimes(const char* what, std::vector<double> times) {
  if (times.empty()) {
    return;
  }
  std::sort(times.begin(), times.end());
  size_t n = times.size();
  double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  std::printf("  ..    %s: %zu runs, median %.1f ms, min %.1f, max %.1f, IQR %.1f to %.1f ms\n", what, n, median,
              times.front(), times.back(), times[n / 4], times[(3 * n) / 4 < n ? (3 * n) / 4 : n - 1]);
  std::fflush(stdout);
}

void RunSoak(const DriverOptions& options) {
  int presses = options.count > 0 ? options.count : kDefaultPresses;
  int every = std::max(1, presses / 12);
  Session session = {};
  if (!OpenSession(options, &session) || !WaitForCloseCount(options.port, 1)) {
    EndProgram(&session.run);
    return;
  }
  std::vector<Sample> samples;
  std::vector<double> times;
  int good = 0;
  for (int press = 1; press <= presses; ++press) {
    double elapsed = 0;
    good += SoakPress(session, options, press, &elapsed) ? 1 : 0;
    times.push_back(elapsed);
    Sample sample = {};
    if ((press == 1 || press % every == 0 || press == presses) && TakeSample(session, press, &sample)) {
      samples.push_back(sample);
    }
  }
  ExpectNumber(good, presses, "presses with the right box, the port closed and the record stored byte for byte");
  PrintTimes("press to box", times);
  ReportSamples(samples);
  CloseWithExit(&session);
}

void RunBenchWrite(const DriverOptions& options) {
  int runs = options.count > 0 ? options.count : kDefaultRuns;
  Session session = {};
  if (!OpenSession(options, &session) || !WaitForCloseCount(options.port, 1)) {
    EndProgram(&session.run);
    return;
  }
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    double elapsed = 0;
    // Both rows at their full 63 characters, every time.
    std::wstring row0(63, L'0' + run % 10);
    std::wstring row1(63, L'A' + run % 26);
    if (CheckedPress(session, options, row0, row1, run % 6, "run " + std::to_string(run) + ": ", &elapsed)) {
      times.push_back(elapsed);
    }
  }
  PrintTimes("button press to the outcome box", times);
  CloseWithExit(&session);
}

void RunBenchStartup(const DriverOptions& options) {
  int runs = options.count > 0 ? options.count : 5;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    LARGE_INTEGER started = Now();
    Session session = {};
    session.run = StartProgram(options.program);
    if (!Expect(session.run.started, "vfdstartup.exe starts")) {
      return;
    }
    DWORD deadline = DeadlineIn(60000);
    while ((session.dialog = WaitForCaption(session.run.info.dwProcessId, kDialogCaption, 0)) == nullptr &&
           !IsPast(deadline)) {
      Sleep(1);
    }
    LARGE_INTEGER shown = Now();
    if (Expect(session.dialog != nullptr, "the dialog appears")) {
      times.push_back(Milliseconds(started, shown));
      CloseWithExit(&session);
    } else {
      EndProgram(&session.run);
    }
  }
  PrintTimes("process start to the dialog shown", times);
}

}  // namespace

const std::vector<Scenario>& MeasureScenarios() {
  static const std::vector<Scenario> scenarios = {
      {"soak", RunSoak, true},
      {"bench-write", RunBenchWrite, true},
      {"bench-startup", RunBenchStartup, true},
  };
  return scenarios;
}

// The long runs print figures; only the soak also fails on a wrong box, a
// record that was not stored byte for byte, or handles or memory that grow.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>

#include "measure.h"
#include "session.h"

namespace {

const int DefaultPresses = 300;
const int DefaultRuns = 20;
// A leak of one handle or a few hundred bytes per press would pass these
// over a few presses but not over a soak of hundreds.
const long long HandleSlack = 2;
const long long PrivateBytesSlack = 512 * 1024;

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

// One press, checked quietly: only a mismatch is reported.
bool CheckedPress(const Session& session, const DriverOptions& options, const std::wstring& row0,
                  const std::wstring& row1, int speed, const std::string& at, double* elapsedMs) {
  size_t closes = CountLogEvents(options.port, "close");
  FillFields(session, row0, row1, speed);
  LARGE_INTEGER pressed = Now();
  ClickButton(Control(session, IDC_WRITE));
  // The box as soon as it is there: 1 ms polls.
  SeenBox box = {};
  if (!Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, BoxTimeoutMs, &box, 1), at + "a box appears")) {
    return false;
  }
  *elapsedMs = Milliseconds(pressed, Now());
  bool ok = (box.caption == Widen(expected::text::CaptionWriteOk) &&
             box.text == Widen(expected::Format(expected::text::WriteOk, expected::AcceptedProductType))) ||
            Expect(false, at + "box \"" + Visible(box.caption) + "\": \"" + Visible(box.text) + "\"");
  ok = (DismissBox(box, 5000) || Expect(false, at + "OK closes the box")) && ok;
  ok = (WaitForLogEvents(options.port, "close", closes + 1) || Expect(false, at + "the port is closed")) && ok;
  ByteList record = RecordAt(speed, row0, row1);
  ByteList stored = ReadRecordFile(options.record);
  return (stored == record || ExpectBytes(stored, record, at + "stored record")) && ok;
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
  Expect(static_cast<long long>(most.handles) <= static_cast<long long>(samples.front().handles) + HandleSlack,
         "handle count flat over the soak");
  Expect(static_cast<long long>(samples.back().privateBytes) <=
             static_cast<long long>(samples.front().privateBytes) + PrivateBytesSlack,
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

}  // namespace

void RunSoak(Session& session, const DriverOptions& options) {
  int presses = options.count > 0 ? options.count : DefaultPresses;
  int every = std::max(1, presses / 12);
  if (!WaitForLogEvents(options.port, "close", 1)) {
    return;
  }
  std::vector<Sample> samples;
  std::vector<double> times;
  int good = 0;
  for (int press = 1; press <= presses; ++press) {
    double elapsed = 0;
    good += CheckedPress(session, options, SoakText(press, 0), SoakText(press, 1), press % 6,
                         "press " + std::to_string(press) + ": ", &elapsed)
                ? 1
                : 0;
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

void RunBenchWrite(Session& session, const DriverOptions& options) {
  int runs = options.count > 0 ? options.count : DefaultRuns;
  if (!WaitForLogEvents(options.port, "close", 1)) {
    return;
  }
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    double elapsed = 0;
    // Both rows at their full 63 characters, every time.
    std::wstring row0(expected::RowTextMax, L'0' + run % 10);
    std::wstring row1(expected::RowTextMax, L'A' + run % 26);
    if (CheckedPress(session, options, row0, row1, run % 6, "run " + std::to_string(run) + ": ", &elapsed)) {
      times.push_back(elapsed);
    }
  }
  PrintTimes("button press to the outcome box", times);
  CloseWithExit(&session);
}

// Starts the program itself, again and again: the session it is given stays closed.
void RunBenchStartup(Session&, const DriverOptions& options) {
  int runs = options.count > 0 ? options.count : 5;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    LARGE_INTEGER started = Now();
    Session session = {};
    session.run = StartProgram(options.program);
    if (!Expect(session.run.started, "vfdstartup.exe starts")) {
      return;
    }
    session.dialog = WaitForCaption(session.run.info.dwProcessId, DialogCaption, 60000, 1);
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

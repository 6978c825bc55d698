#include "session.h"

#include <cstdio>

#include "rig_client.h"

namespace {

// Start-up includes Wine's own start and port discovery.
const DWORD DialogTimeoutMs = 40000;
const DWORD ExitTimeoutMs = 10000;
const DWORD LogTimeoutMs = RigWaitMs;
// How long to watch for a box that must not come.
const DWORD NoBoxMs = 700;

std::string Identifiers(const std::vector<int>& identifiers) {
  std::string list;
  for (int identifier : identifiers) {
    list += (list.empty() ? "" : ",") + std::to_string(identifier);
  }
  return "[" + list + "]";
}

}  // namespace

bool OpenSession(const DriverOptions& options, Session* session) {
  session->run = StartProgram(options.program);
  if (!Expect(session->run.started, "vfdstartup.exe starts")) {
    return false;
  }
  DWORD started = GetTickCount();
  session->dialog = WaitForCaption(session->run.info.dwProcessId, DialogCaption, DialogTimeoutMs);
  if (!Expect(session->dialog != nullptr, "the dialog appears with its caption")) {
    for (const std::string& line : DescribeWindows(session->run.info.dwProcessId)) {
      Note("window of the program: " + line);
    }
    EndProgram(&session->run);
    return false;
  }
  Note("dialog shown after " + std::to_string(GetTickCount() - started) + " ms");
  return true;
}

HWND Control(const Session& session, int identifier) { return GetDlgItem(session.dialog, identifier); }

DWORD DialogThread(const Session& session) { return GetWindowThreadProcessId(session.dialog, nullptr); }

// Ends the program the way the test expects: the exit code must be 0.
void ExpectCleanExit(Session* session, const std::string& how) {
  DWORD exitCode = 0xFFFFFFFF;
  bool ended = WaitForExit(session->run, ExitTimeoutMs, &exitCode);
  if (Expect(ended, how + " ends the program")) {
    ExpectNumber(exitCode, 0, "exit code after " + how);
  }
  EndProgram(&session->run);
}

void CloseWithExit(Session* session) {
  ClickButton(Control(*session, IDC_EXIT));
  ExpectCleanExit(session, "\"Exit\"");
}

bool FillFields(const Session& session, const std::wstring& row0, const std::wstring& row1, int speed) {
  bool ok = WriteText(Control(session, IDC_ROW0), row0);
  ok = WriteText(Control(session, IDC_ROW1), row1) && ok;
  return SelectComboItem(Control(session, IDC_SPEED), speed) && ok;
}

bool PressWrite(const Session& session, const std::wstring& row0, const std::wstring& row1, int speed) {
  bool ok = FillFields(session, row0, row1, speed);
  ClickButton(Control(session, IDC_WRITE));
  return ok;
}

bool CheckBox(const Session& session, const SeenBox& box, const std::string& caption, const std::string& text) {
  bool ok = ExpectText(box.caption, Widen(caption), "box caption");
  ok = ExpectText(box.text, Widen(text), "box text") && ok;
  ok = Expect(box.owner == session.dialog, "the box is owned by the dialog") && ok;
  return Expect(box.buttons == std::vector<int>{IDOK} && box.icons == 0,
                "the box has only an OK button and no icon (buttons " + Identifiers(box.buttons) + ", icons " +
                    std::to_string(box.icons) + ")") &&
         ok;
}

bool ExpectBox(const Session& session, const std::string& caption, const std::string& text) {
  SeenBox box = {};
  if (!Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, BoxTimeoutMs, &box),
              "a message box appears (\"" + caption + "\")")) {
    return false;
  }
  bool ok = CheckBox(session, box, caption, text);
  return Expect(DismissBox(box, StepTimeoutMs), "OK closes the box") && ok;
}

bool ExpectWriteOkBox(const Session& session) {
  return ExpectBox(session, expected::text::CaptionWriteOk,
                   expected::Format(expected::text::WriteOk, expected::AcceptedProductType));
}

void ExpectNoFurtherBox(const Session& session) {
  Expect(NoBoxWithin(session.run.info.dwProcessId, session.dialog, NoBoxMs), "no further box");
}

ByteList ReadRecordFile(const std::wstring& path) {
  ByteList bytes;
  FILE* in = _wfopen(path.c_str(), L"rb");
  if (in == nullptr) {
    return bytes;
  }
  BYTE buffer[512];
  size_t count = 0;
  while ((count = fread(buffer, 1, sizeof buffer, in)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
  fclose(in);
  return bytes;
}

// The display keeps its record in a file that it rewrites as soon as the
// record is complete; give the write a moment to land.
void ExpectStoredRecord(const DriverOptions& options, const ByteList& expected, const std::string& what) {
  ByteList seen;
  WaitUntil(2000, [&] { return (seen = ReadRecordFile(options.record)) == expected; }, 50);
  ExpectBytes(seen, expected, what);
}

ByteList RecordAt(int speed, const std::wstring& row0, const std::wstring& row1) {
  return expected::Record(expected::SpeedRows[speed].code, ToUtf8(row0), ToUtf8(row1));
}

size_t CountLogEvents(const std::wstring& port, const std::string& event) {
  size_t count = 0;
  for (const std::string& line : RigLogLines(port.c_str())) {
    count += line.find("\"event\":\"" + event + "\"") != std::string::npos ? 1 : 0;
  }
  return count;
}

bool WaitForLogEvents(const std::wstring& port, const std::string& event, size_t count) {
  return WaitUntil(LogTimeoutMs, [&] { return CountLogEvents(port, event) >= count; }, 10);
}

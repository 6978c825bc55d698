#include "scenarios.h"

#include <cstdio>

#include "checks.h"
#include "faults.h"
#include "session.h"
#include "ui_automation.h"

namespace {

// Start-up includes Wine's own start and port discovery.
const DWORD kDialogTimeoutMs = 40000;
// A write sequence with a silent display takes 5 s per reply; ours answer.
const DWORD kBoxTimeoutMs = 20000;
const DWORD kStepTimeoutMs = 5000;
const DWORD kExitTimeoutMs = 10000;
// How long to watch for a box that must not come.
const DWORD kNoBoxMs = 700;

const wchar_t kCaption[] = L"QV rm7700 Line Display  Startup Message";
const wchar_t kDefaultRow0[] = L"QV rm7700 All-in-One Point of Sale System          ";
const wchar_t kDefaultRow1[] = L" .... Thank You and Have a Nice Day ....           ";
const int kDefaultSpeed = 3;
const BYTE kDefaultSpeedCode = 0x13;

const std::vector<std::wstring>& SpeedLabels() {
  static const std::vector<std::wstring> labels = {
      L"<10ms / character", L"100ms / character", L"200ms / character",
      L"300ms / character", L"400ms / character", L"500ms / character"};
  return labels;
}

}  // namespace

bool OpenSession(const DriverOptions& options, Session* session) {
  session->run = StartProgram(options.program);
  if (!Expect(session->run.started, "vfdstartup.exe starts")) {
    return false;
  }
  DWORD started = GetTickCount();
  session->dialog = WaitForCaption(session->run.info.dwProcessId, kCaption, kDialogTimeoutMs);
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
  bool ended = WaitForExit(session->run, kExitTimeoutMs, &exitCode);
  if (Expect(ended, how + " ends the program")) {
    ExpectNumber(exitCode, 0, "exit code after " + how);
  }
  EndProgram(&session->run);
}

void CloseWithExit(Session* session) {
  ClickButton(Control(*session, IDC_EXIT));
  ExpectCleanExit(session, "\"Exit\"");
}

static std::string Identifiers(const std::vector<int>& identifiers) {
  std::string list;
  for (int identifier : identifiers) {
    list += (list.empty() ? "" : ",") + std::to_string(identifier);
  }
  return "[" + list + "]";
}

// The next box must be owned by the dialog and read exactly so; OK closes it.
bool ExpectBox(const Session& session, const std::wstring& caption, const std::wstring& text) {
  SeenBox box = {};
  if (!Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, kBoxTimeoutMs, &box),
              "a message box appears (\"" + ToUtf8(caption) + "\")")) {
    return false;
  }
  bool ok = ExpectText(box.caption, caption, "box caption");
  ok = ExpectText(box.text, text, "box text") && ok;
  ok = Expect(box.owner == session.dialog, "the box is owned by the dialog") && ok;
  ok = Expect(box.buttons == std::vector<int>{IDOK} && box.icons == 0,
              "the box has only an OK button and no icon (buttons " + Identifiers(box.buttons) + ", icons " +
                  std::to_string(box.icons) + ")") &&
       ok;
  return Expect(DismissBox(box, kStepTimeoutMs), "OK closes the box") && ok;
}

void ExpectNoFurtherBox(const Session& session) {
  Expect(NoBoxWithin(session.run.info.dwProcessId, session.dialog, kNoBoxMs), "no further box");
}

ByteString ReadRecordFile(const std::wstring& path) {
  ByteString bytes;
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
void ExpectStoredRecord(const DriverOptions& options, const ByteString& expected, const std::string& what) {
  DWORD deadline = DeadlineIn(2000);
  ByteString seen = ReadRecordFile(options.record);
  while (seen != expected && !IsPast(deadline)) {
    Sleep(50);
    seen = ReadRecordFile(options.record);
  }
  ExpectBytes(seen, expected, what);
}

static void PutRow(ByteString* record, size_t offset, BYTE speedCode, const std::wstring& text) {
  (*record)[offset] = speedCode;
  for (size_t i = 0; i < text.size() && i < 63; ++i) {
    (*record)[offset + 1 + i] = static_cast<BYTE>(text[i]);
  }
}

ByteString MakeRecord(BYTE speedCode, const std::wstring& row0, const std::wstring& row1) {
  ByteString record(128, 0);
  PutRow(&record, 0, speedCode, row0);
  PutRow(&record, 64, speedCode, row1);
  return record;
}

namespace {

void ExpectDefaultFields(const Session& session, const std::string& when) {
  ExpectText(ReadText(Control(session, IDC_ROW0)), kDefaultRow0, "row 0 " + when);
  ExpectText(ReadText(Control(session, IDC_ROW1)), kDefaultRow1, "row 1 " + when);
  ExpectNumber(ReadComboSelection(Control(session, IDC_SPEED)), kDefaultSpeed, "speed selection " + when);
}

void SaveStartupShot(const Session& session, const DriverOptions& options) {
  // Give the dialog its first paint before reading the screen.
  Sleep(500);
  std::wstring path = options.artifacts + L"\\startup.bmp";
  int colours = SaveWindowShot(session.dialog, path);
  Expect(colours > 2, "screenshot saved with " + std::to_string(colours) + " colours: " + ToUtf8(path));
}

void RunStartup(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  ExpectText(ReadText(Control(session, IDC_PORT)), options.port, "port field");
  ExpectTexts(ReadComboItems(Control(session, IDC_PORT)), options.ports, "port list");
  ExpectTexts(ReadComboItems(Control(session, IDC_SPEED)), SpeedLabels(), "speed list");
  ExpectDefaultFields(session, "at start");
  ExpectText(ReadText(Control(session, IDC_EXIT)), L"Exit", "exit button");
  ExpectText(ReadText(Control(session, IDC_WRITE)), L"Write to VFD", "write button");
  ExpectText(ReadText(Control(session, IDC_FACTORY_DEFAULT)), L"Set to factory default", "factory button");
  if (!options.artifacts.empty()) {
    SaveStartupShot(session, options);
  }
  CloseWithExit(&session);
}

// 63 characters, the last one DEL: the row field's limit, stored unchanged.
std::wstring FullRow() {
  std::wstring text = L"Grand opening! ~ {All} items -10% | @home_delivery ^_^ `tick` ";
  text += wchar_t(0x7F);
  return text;
}

void WriteEditedRows(const Session& session, const DriverOptions& options) {
  const std::wstring row0 = FullRow();
  const std::wstring row1 = L"Hello, VFD!";
  Expect(row0.size() == 63, "row 0 test text holds 63 characters");
  Expect(WriteText(Control(session, IDC_ROW0), row0), "row 0 edited");
  Expect(WriteText(Control(session, IDC_ROW1), row1), "row 1 edited");
  Expect(SelectComboItem(Control(session, IDC_SPEED), 0), "speed \"<10ms / character\" chosen");
  ClickButton(Control(session, IDC_WRITE));
  ExpectBox(session, L"Startup Message write successful",
            std::wstring(L"Product type: ") + kAcceptedProductType + L"\r\nStartup Message write: (OK)     ");
  ExpectNoFurtherBox(session);
  ExpectStoredRecord(options, MakeRecord(0x10, row0, row1), "stored record after \"Write to VFD\"");
  ExpectText(ReadText(Control(session, IDC_ROW0)), row0, "row 0 kept after the write");
}

void RestoreFactoryDefault(const Session& session, const DriverOptions& options) {
  WriteText(Control(session, IDC_ROW0), L"not the default");
  WriteText(Control(session, IDC_ROW1), L"");
  SelectComboItem(Control(session, IDC_SPEED), 5);
  ClickButton(Control(session, IDC_FACTORY_DEFAULT));
  ExpectBox(session, L"Success.", L"Factory default restored.");
  ExpectNoFurtherBox(session);
  ExpectDefaultFields(session, "after \"Set to factory default\"");
  ExpectStoredRecord(options, MakeRecord(kDefaultSpeedCode, kDefaultRow0, kDefaultRow1),
                     "stored record after \"Set to factory default\"");
}

void RunWriteAndFactory(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  WriteEditedRows(session, options);
  RestoreFactoryDefault(session, options);
  CloseWithExit(&session);
}

void RunWrongProduct(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  ByteString before = ReadRecordFile(options.record);
  Expect(before.size() == 128, "the display holds a record before the write");
  ClickButton(Control(session, IDC_WRITE));
  ExpectBox(session, L"Error: Incompatible VFD module",
            L"Product type: " + options.productType + L"\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 ");
  ExpectBox(session, L"Startup Message write failed",
            L"Product type: " + options.productType + L"\r\nStartup Message write: (failed) ");
  ExpectNoFurtherBox(session);
  ExpectBytes(ReadRecordFile(options.record), before, "stored record unchanged");
  CloseWithExit(&session);
}

void RunInvalidCharacter(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  Expect(WriteText(Control(session, IDC_ROW0), L"ABC\u00E9DEF"), "row 0 edited to \"ABC\\u00E9DEF\"");
  ClickButton(Control(session, IDC_WRITE));
  ExpectBox(session, L"Invalid character(s) in Row 0.", L"Row 0 truncated to:          \r\n\r\nABC\r\n");
  ExpectBox(session, L"Startup Message write successful",
            std::wstring(L"Product type: ") + kAcceptedProductType + L"\r\nStartup Message write: (OK)     ");
  ExpectNoFurtherBox(session);
  ExpectText(ReadText(Control(session, IDC_ROW0)), L"ABC", "row 0 field after the cut");
  ExpectStoredRecord(options, MakeRecord(kDefaultSpeedCode, L"ABC", kDefaultRow1), "stored record with row 0 cut");
  CloseWithExit(&session);
}

void RunExitButton(const DriverOptions& options) {
  Session session = {};
  if (OpenSession(options, &session)) {
    CloseWithExit(&session);
  }
}

void RunCloseButton(const DriverOptions& options) {
  Session session = {};
  if (OpenSession(options, &session)) {
    PostCloseCommand(session.dialog);
    ExpectCleanExit(&session, "the close button");
  }
}

// Puts the focus into a control with a mouse click, as the keyboard only
// reaches a window that has been clicked.
bool FocusByClick(const Session& session, int identifier) {
  ClickControl(Control(session, identifier));
  return WaitForFocus(DialogThread(session), Control(session, identifier), kStepTimeoutMs);
}

// A key that the dialog must ignore: once the edit has handled what follows
// it, the dialog must still be there.
void ExpectKeyIgnored(const Session& session, UINT key, const std::string& name) {
  HWND row0 = Control(session, IDC_ROW0);
  PostKey(row0, key);
  bool handled = WaitUntilHandled(row0, kStepTimeoutMs);
  Expect(handled && IsWindow(session.dialog) && IsRunning(session.run), name + " in a row does not close the dialog");
}

void ExpectTypingStopsAt63(const Session& session) {
  HWND row1 = Control(session, IDC_ROW1);
  if (!Expect(FocusByClick(session, IDC_ROW1), "a click puts the focus into row 1")) {
    return;
  }
  WriteText(row1, L"");
  std::wstring typed;
  for (int i = 0; i < 70; ++i) {
    typed += static_cast<wchar_t>(L'a' + i % 26);
  }
  for (wchar_t character : typed) {
    PostChar(row1, character);
  }
  Expect(WaitUntilHandled(row1, kStepTimeoutMs), "70 typed characters handled");
  ExpectText(ReadText(row1), typed.substr(0, 63), "row 1 after typing 70 characters");
}

// From row 1 the tab order runs: speed list, "Write to VFD", "Set to factory
// default", then round to "Exit".
bool TabToExit(const Session& session) {
  const int order[] = {IDC_SPEED, IDC_WRITE, IDC_FACTORY_DEFAULT, IDC_EXIT};
  DWORD thread = DialogThread(session);
  for (int identifier : order) {
    PostKey(FocusedWindow(thread), VK_TAB);
    if (!WaitForFocus(thread, Control(session, identifier), kStepTimeoutMs)) {
      return Expect(false, "Tab moves the focus to control " + std::to_string(identifier));
    }
  }
  // The dialog manager makes the button the default one after it has taken
  // the focus; from another process the two steps can be seen apart.
  HWND exitButton = Control(session, IDC_EXIT);
  DWORD deadline = DeadlineIn(kStepTimeoutMs);
  while ((GetWindowLongW(exitButton, GWL_STYLE) & BS_TYPEMASK) != BS_DEFPUSHBUTTON && !IsPast(deadline)) {
    Sleep(20);
  }
  LONG style = GetWindowLongW(exitButton, GWL_STYLE);
  return Expect((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON, "Tab reaches \"Exit\" and makes it the default button");
}

// On Windows the dialog manager makes the push button that gets the initial
// focus the default one, so Enter right after start presses "Exit". Wine's
// does so only when the focus comes by keyboard (see TabToExit).
const DWORD kEnterAtStartMs = 1500;

void RunEnterAtStart(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  HWND focus = FocusedWindow(DialogThread(session));
  Expect(focus == Control(session, IDC_EXIT), "the focus starts on \"Exit\"");
  PostKey(focus, VK_RETURN);
  DWORD exitCode = 0xFFFFFFFF;
  if (WaitForExit(session.run, kEnterAtStartMs, &exitCode)) {
    ExpectNumber(exitCode, 0, "exit code after Enter right after start");
    EndProgram(&session.run);
    return;
  }
  PlatformGap("Enter right after start left the dialog open: the initial focus did not make \"Exit\" the default button");
  Expect(IsWindow(session.dialog), "the dialog is still there");
  CloseWithExit(&session);
}

void RunKeyboard(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  if (Expect(FocusByClick(session, IDC_ROW0), "a click puts the focus into row 0")) {
    ExpectKeyIgnored(session, VK_ESCAPE, "Esc");
    ExpectKeyIgnored(session, VK_RETURN, "Enter");
  }
  ExpectTypingStopsAt63(session);
  if (TabToExit(session)) {
    PostKey(Control(session, IDC_EXIT), VK_RETURN);
    ExpectCleanExit(&session, "Enter on \"Exit\"");
  }
  EndProgram(&session.run);
}

// scripts/run.sh: the dialog for a person, or a short demonstration write
// when nobody is there to use it.
void WriteDemoMessage(const Session& session) {
  WriteText(Control(session, IDC_ROW0), L"Hello from scripts/run.sh");
  WriteText(Control(session, IDC_ROW1), L"Written under Wine, shown by the emulator");
  SelectComboItem(Control(session, IDC_SPEED), 1);
  ClickButton(Control(session, IDC_WRITE));
  SeenBox box = {};
  if (Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, kBoxTimeoutMs, &box), "a box answers the write")) {
    Note("box \"" + Visible(box.caption) + "\": \"" + Visible(box.text) + "\"");
    DismissBox(box, kStepTimeoutMs);
  }
}

void RunShow(const DriverOptions& options) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  Note("port field: \"" + ToUtf8(ReadText(Control(session, IDC_PORT))) + "\"");
  SaveStartupShot(session, options);
  if (options.automatic) {
    WriteDemoMessage(session);
    CloseWithExit(&session);
    return;
  }
  Note("the dialog is open: write a message, then press \"Exit\" or close the window");
  DWORD exitCode = 0;
  WaitForExit(session.run, INFINITE, &exitCode);
  Note("vfdstartup.exe ended with exit code " + std::to_string(static_cast<int>(exitCode)));
  EndProgram(&session.run);
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"startup", RunStartup, true},
      {"write-and-factory", RunWriteAndFactory, true},
      {"wrong-product", RunWrongProduct, true},
      {"invalid-character", RunInvalidCharacter, true},
      {"exit-button", RunExitButton, true},
      {"close-button", RunCloseButton, true},
      {"keyboard", RunKeyboard, true},
      {"enter-at-start", RunEnterAtStart, true},
      {"show", RunShow, false},
  };
  static std::vector<Scenario> all;
  if (all.empty()) {
    all = scenarios;
    all.insert(all.end(), FaultScenarios().begin(), FaultScenarios().end());
    all.insert(all.end(), MeasureScenarios().begin(), MeasureScenarios().end());
  }
  return all;
}

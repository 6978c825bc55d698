#include "scenarios.h"

#include "faults.h"
#include "measure.h"
#include "session.h"

namespace {

// "300ms / character", the speed list's position at start.
const int DefaultSpeed = 3;

std::vector<std::wstring> SpeedLabels() {
  std::vector<std::wstring> labels;
  for (const expected::SpeedRow& row : expected::SpeedRows) {
    labels.push_back(Widen(row.label));
  }
  return labels;
}

void ExpectDefaultFields(const Session& session, const std::string& when) {
  ExpectText(ReadText(Control(session, IDC_ROW0)), Widen(expected::DefaultRow0), "row 0 " + when);
  ExpectText(ReadText(Control(session, IDC_ROW1)), Widen(expected::DefaultRow1), "row 1 " + when);
  ExpectNumber(ReadComboSelection(Control(session, IDC_SPEED)), DefaultSpeed, "speed selection " + when);
}

void SaveStartupShot(const Session& session, const DriverOptions& options) {
  // Give the dialog its first paint before reading the screen.
  Sleep(500);
  std::wstring path = options.artifacts + L"\\startup.bmp";
  int colours = SaveWindowShot(session.dialog, path);
  Expect(colours > 2, "screenshot saved with " + std::to_string(colours) + " colours: " + ToUtf8(path));
}

void RunStartup(Session& session, const DriverOptions& options) {
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
  ExpectNumber(static_cast<long long>(row0.size()), expected::RowTextMax, "row 0 test text length");
  Expect(PressWrite(session, row0, row1, 0), "rows edited, speed \"<10ms / character\" chosen, \"Write to VFD\" pressed");
  ExpectWriteOkBox(session);
  ExpectNoFurtherBox(session);
  ExpectStoredRecord(options, RecordAt(0, row0, row1), "stored record after \"Write to VFD\"");
  ExpectText(ReadText(Control(session, IDC_ROW0)), row0, "row 0 kept after the write");
}

void RestoreFactoryDefault(const Session& session, const DriverOptions& options) {
  WriteText(Control(session, IDC_ROW0), L"not the default");
  WriteText(Control(session, IDC_ROW1), L"");
  SelectComboItem(Control(session, IDC_SPEED), 5);
  ClickButton(Control(session, IDC_FACTORY_DEFAULT));
  ExpectBox(session, expected::text::CaptionFactoryRestored, expected::text::FactoryRestored);
  ExpectNoFurtherBox(session);
  ExpectDefaultFields(session, "after \"Set to factory default\"");
  ExpectStoredRecord(options, expected::FactoryRecord(), "stored record after \"Set to factory default\"");
}

void RunWriteAndFactoryDefault(Session& session, const DriverOptions& options) {
  WriteEditedRows(session, options);
  RestoreFactoryDefault(session, options);
  CloseWithExit(&session);
}

void RunWrongProductType(Session& session, const DriverOptions& options) {
  ByteList before = ReadRecordFile(options.record);
  ExpectNumber(static_cast<long long>(before.size()), expected::RecordSize, "record held before the write");
  ClickButton(Control(session, IDC_WRITE));
  std::string productType = ToUtf8(options.productType);
  ExpectBox(session, expected::text::CaptionIncompatible, expected::Format(expected::text::Incompatible, productType));
  ExpectBox(session, expected::text::CaptionWriteFailed, expected::Format(expected::text::WriteFailed, productType));
  ExpectNoFurtherBox(session);
  ExpectBytes(ReadRecordFile(options.record), before, "stored record unchanged");
  CloseWithExit(&session);
}

// Row 0 holds a character the module cannot show: the press stops at the
// row 0 box, after the write command, while the module waits for the record.
// The box is left up (box->window is null when none came).
void PressWriteUpToRow0Box(const Session& session, SeenBox* box) {
  Expect(WriteText(Control(session, IDC_ROW0), L"ABC\u00E9DEF"), "row 0 edited to \"ABC\\u00E9DEF\"");
  ClickButton(Control(session, IDC_WRITE));
  if (Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, BoxTimeoutMs, box),
             "a message box appears (\"" + std::string(expected::text::CaptionRow0Cut) + "\")")) {
    CheckBox(session, *box, expected::text::CaptionRow0Cut, expected::Format(expected::text::Row0Cut, "ABC"));
  }
}

void ExpectRow0CutStored(const DriverOptions& options) {
  ExpectStoredRecord(options, expected::Record(expected::DefaultSpeedCode, "ABC", expected::DefaultRow1),
                     "stored record with row 0 cut");
}

void RunInvalidCharacter(Session& session, const DriverOptions& options) {
  SeenBox box = {};
  PressWriteUpToRow0Box(session, &box);
  Expect(box.window != nullptr && DismissBox(box, StepTimeoutMs), "OK closes the box");
  ExpectWriteOkBox(session);
  ExpectNoFurtherBox(session);
  ExpectText(ReadText(Control(session, IDC_ROW0)), L"ABC", "row 0 field after the cut");
  ExpectRow0CutStored(options);
  CloseWithExit(&session);
}

// A close request (another program, taskkill without /F) while the row 0
// box is up: the press still runs to its end, then the dialog closes. The
// close is posted before OK, so the program has it while the box is up.
void RunCloseDuringExchange(Session& session, const DriverOptions& options) {
  SeenBox box = {};
  PressWriteUpToRow0Box(session, &box);
  if (box.window != nullptr) {
    PostMessageW(session.dialog, WM_CLOSE, 0, 0);
    Expect(DismissBox(box, StepTimeoutMs), "OK closes the row 0 box after the close request");
    ExpectWriteOkBox(session);
  }
  ExpectCleanExit(&session, "a close request during the exchange");
  ExpectRow0CutStored(options);
}

void RunExitButton(Session& session, const DriverOptions&) { CloseWithExit(&session); }

void RunCloseButton(Session& session, const DriverOptions&) {
  PostCloseCommand(session.dialog);
  ExpectCleanExit(&session, "the close button");
}

// Puts the focus into a control with a mouse click, as the keyboard only
// reaches a window that has been clicked.
bool FocusByClick(const Session& session, int identifier) {
  ClickControl(Control(session, identifier));
  return WaitForFocus(DialogThread(session), Control(session, identifier), StepTimeoutMs);
}

// A key that the dialog must ignore: once the edit has handled what follows
// it, the dialog must still be there.
void ExpectKeyIgnored(const Session& session, UINT key, const std::string& name) {
  HWND row0 = Control(session, IDC_ROW0);
  PostKey(row0, key);
  bool handled = WaitUntilHandled(row0, StepTimeoutMs);
  Expect(handled && IsWindow(session.dialog) && IsRunning(session.run), name + " in a row does not close the dialog");
}

void ExpectTypingStopsAtTheLimit(const Session& session) {
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
  Expect(WaitUntilHandled(row1, StepTimeoutMs), "70 typed characters handled");
  ExpectText(ReadText(row1), typed.substr(0, expected::RowTextMax), "row 1 after typing 70 characters");
}

// From row 1 the tab order runs: speed list, "Write to VFD", "Set to factory
// default", then round to "Exit".
bool TabToExit(const Session& session) {
  const int order[] = {IDC_SPEED, IDC_WRITE, IDC_FACTORY_DEFAULT, IDC_EXIT};
  DWORD thread = DialogThread(session);
  for (int identifier : order) {
    PostKey(FocusedWindow(thread), VK_TAB);
    if (!WaitForFocus(thread, Control(session, identifier), StepTimeoutMs)) {
      return Expect(false, "Tab moves the focus to control " + std::to_string(identifier));
    }
  }
  // The dialog manager makes the button the default one after it has taken
  // the focus; from another process the two steps can be seen apart.
  HWND exitButton = Control(session, IDC_EXIT);
  return Expect(WaitUntil(StepTimeoutMs,
                          [&] { return (GetWindowLongW(exitButton, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON; }),
                "Tab reaches \"Exit\" and makes it the default button");
}

// On Windows the dialog manager makes the push button that gets the initial
// focus the default one, so Enter right after start presses "Exit". Wine's
// does so only when the focus comes by keyboard (see TabToExit).
const DWORD EnterAtStartMs = 1500;

void RunEnterAtStart(Session& session, const DriverOptions&) {
  HWND focus = FocusedWindow(DialogThread(session));
  Expect(focus == Control(session, IDC_EXIT), "the focus starts on \"Exit\"");
  PostKey(focus, VK_RETURN);
  DWORD exitCode = 0xFFFFFFFF;
  if (WaitForExit(session.run, EnterAtStartMs, &exitCode)) {
    ExpectNumber(exitCode, 0, "exit code after Enter right after start");
    return;
  }
  PlatformGap("Enter right after start left the dialog open: the initial focus did not make \"Exit\" the default button");
  Expect(IsWindow(session.dialog), "the dialog is still there");
  CloseWithExit(&session);
}

void RunKeyboard(Session& session, const DriverOptions&) {
  if (Expect(FocusByClick(session, IDC_ROW0), "a click puts the focus into row 0")) {
    ExpectKeyIgnored(session, VK_ESCAPE, "Esc");
    ExpectKeyIgnored(session, VK_RETURN, "Enter");
  }
  ExpectTypingStopsAtTheLimit(session);
  if (TabToExit(session)) {
    PostKey(Control(session, IDC_EXIT), VK_RETURN);
    ExpectCleanExit(&session, "Enter on \"Exit\"");
  }
}

// scripts/run.sh: the dialog for a person, or a short demonstration write
// when nobody is there to use it.
void WriteDemoMessage(const Session& session) {
  PressWrite(session, L"Hello from scripts/run.sh", L"Written under Wine, shown by the emulator", 1);
  SeenBox box = {};
  if (Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, BoxTimeoutMs, &box), "a box answers the write")) {
    Note("box \"" + Visible(box.caption) + "\": \"" + Visible(box.text) + "\"");
    DismissBox(box, StepTimeoutMs);
  }
}

void RunShow(Session& session, const DriverOptions& options) {
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
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"startup", RunStartup, true},
      {"write-and-factory-default", RunWriteAndFactoryDefault, true},
      {"wrong-product-type", RunWrongProductType, true},
      {"invalid-character", RunInvalidCharacter, true},
      {"close-during-exchange", RunCloseDuringExchange, true},
      {"exit-button", RunExitButton, true},
      {"close-button", RunCloseButton, true},
      {"keyboard", RunKeyboard, true},
      {"enter-at-start", RunEnterAtStart, true},
      {"fault", RunFault, true},
      {"show", RunShow, false},
      {"soak", RunSoak, true},
      {"bench-write", RunBenchWrite, true},
      {"bench-startup", RunBenchStartup, true, true},
  };
  return scenarios;
}

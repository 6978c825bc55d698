// Drives another process's windows the way a person at the screen would:
// find the window, read what it shows, click, type, wait for what follows.
// Every wait runs against a deadline so that a hung program fails the test
// instead of hanging it.
#ifndef VFD_E2E_UI_AUTOMATION_H
#define VFD_E2E_UI_AUTOMATION_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct ProgramRun {
  PROCESS_INFORMATION info;
  bool started;
};

struct SeenBox {
  HWND window;
  HWND owner;
  std::wstring caption;
  std::wstring text;
  std::vector<int> buttons;  // identifiers of the visible buttons
  int icons;                 // visible icon controls that show an icon
};

// Checks the condition every pollMs until it holds (true) or timeoutMs
// have passed (false); it is checked at least once.
bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition, DWORD pollMs = 20);

ProgramRun StartProgram(const std::wstring& path);
// Ends a program that is still running (a failed test must not leave it).
void EndProgram(ProgramRun* run);
// For the driver's watchdog: ends the program that is running now, if any.
void EndRunningProgramNow();
bool WaitForExit(const ProgramRun& run, DWORD timeoutMs, DWORD* exitCode);
bool IsRunning(const ProgramRun& run);

// A visible top-level window of the process with exactly this caption
// (looked for every pollMs: the benchmarks ask for 1 ms).
HWND WaitForCaption(DWORD processId, const std::wstring& caption, DWORD timeoutMs, DWORD pollMs = 20);
// Every top-level window of the process: class, caption, visibility; for
// telling what the program showed when the expected window did not come.
std::vector<std::string> DescribeWindows(DWORD processId);
// A visible message box (#32770, other than `dialog`) of the process.
bool WaitForBox(DWORD processId, HWND dialog, DWORD timeoutMs, SeenBox* box, DWORD pollMs = 20);
// Presses OK and waits until the box is gone.
bool DismissBox(const SeenBox& box, DWORD timeoutMs);
// True when no message box of the process appears within the time.
bool NoBoxWithin(DWORD processId, HWND dialog, DWORD timeoutMs);

std::wstring ReadText(HWND window);
std::vector<std::wstring> ReadComboItems(HWND combo);
int ReadComboSelection(HWND combo);
bool WriteText(HWND window, const std::wstring& text);
bool SelectComboItem(HWND combo, int position);

// A click with the left mouse button in the middle of the control.
void ClickControl(HWND control);
// A button press; the button does the mouse-down and mouse-up itself.
void ClickButton(HWND button);
void PostKey(HWND target, UINT virtualKey);
void PostChar(HWND target, wchar_t character);
void PostCloseCommand(HWND window);

// The window that has the keyboard focus in the given thread.
HWND FocusedWindow(DWORD threadId);
bool WaitForFocus(DWORD threadId, HWND expected, DWORD timeoutMs);
// Posted input is handled in order: once an edit control shows the selection
// posted after it, everything posted before has been handled too.
bool WaitUntilHandled(HWND edit, DWORD timeoutMs);

// The window's pixels as they are on the screen, as a 24-bit BMP file.
// Returns the number of distinct colours seen (0 on failure).
int SaveWindowShot(HWND window, const std::wstring& path);

std::string ToUtf8(const std::wstring& text);
std::wstring Widen(const std::string& text);  // from UTF-8
// Text with control characters spelt as \r, \n, \xNN, for messages.
std::string Visible(const std::wstring& text);

#endif  // VFD_E2E_UI_AUTOMATION_H

#include "ui_automation.h"

#include <cstdio>
#include <set>

namespace {

// A sent message to the program must not hang the driver when the program
// is stuck (for example inside a long serial exchange).
const UINT SendTimeoutMs = 5000;
// The message box's static text carries this identifier.
const int BoxTextId = 0xFFFF;
// Marker selection posted after input; typing never leaves this selection.
const WPARAM MarkStart = 1;
const LPARAM MarkEnd = 2;

bool SendTimed(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, SendTimeoutMs,
                             result != nullptr ? result : &ignored) != 0;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {0};
  GetClassNameW(window, name, 64);
  return name;
}

DWORD ProcessOf(HWND window) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  return processId;
}

// The program started last, while it runs; the watchdog's thread reads it.
HANDLE volatile RunningProgram = nullptr;

struct WindowSearch {
  DWORD processId;
  HWND exclude;
  bool boxesOnly;
  std::wstring caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
  if (window == search->exclude || ProcessOf(window) != search->processId || !IsWindowVisible(window)) {
    return TRUE;
  }
  if (search->boxesOnly ? ClassOf(window) == L"#32770" : ReadText(window) == search->caption) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindWindowOf(WindowSearch search) {
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForWindow(const WindowSearch& search, DWORD timeoutMs, DWORD pollMs = 20) {
  HWND found = nullptr;
  WaitUntil(timeoutMs, [&] { return (found = FindWindowOf(search)) != nullptr; }, pollMs);
  return found;
}

bool WriteBmp(const std::wstring& path, const BITMAPINFOHEADER& header, const std::vector<BYTE>& pixels) {
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = _wfopen(path.c_str(), L"wb");
  if (out == nullptr) {
    return false;
  }
  bool ok = fwrite(&file, sizeof file, 1, out) == 1 && fwrite(&header, sizeof header, 1, out) == 1 &&
            fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  return fclose(out) == 0 && ok;
}

int CountColours(const std::vector<BYTE>& pixels, int width, int height, int stride) {
  std::set<DWORD> colours;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const BYTE* p = &pixels[y * stride + x * 3];
      colours.insert(p[0] | (p[1] << 8) | (p[2] << 16));
    }
  }
  return static_cast<int>(colours.size());
}

struct WindowList {
  DWORD processId;
  std::vector<std::string> lines;
};

BOOL CALLBACK DescribeWindow(HWND window, LPARAM parameter) {
  WindowList* list = reinterpret_cast<WindowList*>(parameter);
  if (ProcessOf(window) == list->processId) {
    list->lines.push_back(ToUtf8(ClassOf(window)) + " \"" + Visible(ReadText(window)) + "\"" +
                          (IsWindowVisible(window) ? " visible" : " hidden"));
  }
  return TRUE;
}

// A message box template holds every kind of button and an icon control;
// the box removes the buttons its style does not ask for, and without an
// icon style its icon control stays, empty.
BOOL CALLBACK CollectBoxControl(HWND control, LPARAM parameter) {
  SeenBox* box = reinterpret_cast<SeenBox*>(parameter);
  if (!IsWindowVisible(control)) {
    return TRUE;
  }
  LONG style = GetWindowLongW(control, GWL_STYLE);
  std::wstring kind = ClassOf(control);
  if (_wcsicmp(kind.c_str(), L"Button") == 0) {
    box->buttons.push_back(GetDlgCtrlID(control));
  } else if (_wcsicmp(kind.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
    DWORD_PTR icon = 0;
    SendTimed(control, STM_GETICON, 0, 0, &icon);
    box->icons += icon != 0 ? 1 : 0;
  }
  return TRUE;
}

const wchar_t Unreadable[] = L"<unreadable>";

// A thread that has not looked at its messages for 5 s (a write sequence
// waiting out a silent line) counts as hung, and SMTO_ABORTIFHUNG gives up
// at once, until it next does: its box can be on screen a moment before
// that. Such a box is read again until it answers.
std::wstring ReadTextOnceAnswering(HWND window) {
  std::wstring text;
  WaitUntil(SendTimeoutMs, [&] { return (text = ReadText(window)) != Unreadable || !IsWindow(window); });
  return text;
}

}  // namespace

std::vector<std::string> DescribeWindows(DWORD processId) {
  WindowList list = {processId, {}};
  EnumWindows(DescribeWindow, reinterpret_cast<LPARAM>(&list));
  return list.lines;
}

bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition, DWORD pollMs) {
  DWORD started = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - started >= timeoutMs) {
      return false;
    }
    Sleep(pollMs);
  }
  return true;
}

ProgramRun StartProgram(const std::wstring& path) {
  ProgramRun run = {};
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring commandLine = L"\"" + path + L"\"";
  run.started = CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &run.info) != 0;
  RunningProgram = run.started ? run.info.hProcess : nullptr;
  return run;
}

void EndProgram(ProgramRun* run) {
  if (!run->started) {
    return;
  }
  if (IsRunning(*run)) {
    TerminateProcess(run->info.hProcess, 99);
    WaitForSingleObject(run->info.hProcess, 5000);
  }
  RunningProgram = nullptr;
  CloseHandle(run->info.hThread);
  CloseHandle(run->info.hProcess);
  run->started = false;
}

void EndRunningProgramNow() {
  HANDLE program = RunningProgram;
  if (program != nullptr) {
    TerminateProcess(program, 99);
  }
}

bool WaitForExit(const ProgramRun& run, DWORD timeoutMs, DWORD* exitCode) {
  if (WaitForSingleObject(run.info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  return GetExitCodeProcess(run.info.hProcess, exitCode) != 0;
}

bool IsRunning(const ProgramRun& run) { return WaitForSingleObject(run.info.hProcess, 0) == WAIT_TIMEOUT; }

HWND WaitForCaption(DWORD processId, const std::wstring& caption, DWORD timeoutMs, DWORD pollMs) {
  return WaitForWindow(WindowSearch{processId, nullptr, false, caption, nullptr}, timeoutMs, pollMs);
}

bool WaitForBox(DWORD processId, HWND dialog, DWORD timeoutMs, SeenBox* box, DWORD pollMs) {
  HWND window = WaitForWindow(WindowSearch{processId, dialog, true, L"", nullptr}, timeoutMs, pollMs);
  if (window == nullptr) {
    return false;
  }
  box->window = window;
  box->owner = GetWindow(window, GW_OWNER);
  box->caption = ReadTextOnceAnswering(window);
  box->text = ReadTextOnceAnswering(GetDlgItem(window, BoxTextId));
  box->buttons.clear();
  box->icons = 0;
  EnumChildWindows(window, CollectBoxControl, reinterpret_cast<LPARAM>(box));
  return true;
}

bool DismissBox(const SeenBox& box, DWORD timeoutMs) {
  HWND okButton = GetDlgItem(box.window, IDOK);
  PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(okButton));
  return WaitUntil(timeoutMs, [&] { return !IsWindow(box.window); });
}

bool NoBoxWithin(DWORD processId, HWND dialog, DWORD timeoutMs) {
  return WaitForWindow(WindowSearch{processId, dialog, true, L"", nullptr}, timeoutMs) == nullptr;
}

std::wstring ReadText(HWND window) {
  DWORD_PTR length = 0;
  if (window == nullptr || !SendTimed(window, WM_GETTEXTLENGTH, 0, 0, &length)) {
    return Unreadable;
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendTimed(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]), &copied);
  text.resize(copied);
  return text;
}

std::vector<std::wstring> ReadComboItems(HWND combo) {
  std::vector<std::wstring> items;
  DWORD_PTR count = 0;
  if (!SendTimed(combo, CB_GETCOUNT, 0, 0, &count) || static_cast<LONG_PTR>(count) == CB_ERR) {
    return items;
  }
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    SendTimed(combo, CB_GETLBTEXTLEN, i, 0, &length);
    std::wstring item(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendTimed(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&item[0]), &copied);
    item.resize(static_cast<LONG_PTR>(copied) == CB_ERR ? 0 : copied);
    items.push_back(item);
  }
  return items;
}

int ReadComboSelection(HWND combo) {
  DWORD_PTR selection = 0;
  SendTimed(combo, CB_GETCURSEL, 0, 0, &selection);
  return static_cast<int>(static_cast<LONG_PTR>(selection));
}

bool WriteText(HWND window, const std::wstring& text) {
  DWORD_PTR result = 0;
  return SendTimed(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &result) && result != 0;
}

bool SelectComboItem(HWND combo, int position) {
  DWORD_PTR result = 0;
  return SendTimed(combo, CB_SETCURSEL, position, 0, &result) && static_cast<int>(result) == position;
}

void ClickControl(HWND control) {
  RECT client = {};
  GetClientRect(control, &client);
  LPARAM middle = MAKELPARAM((client.right - client.left) / 2, (client.bottom - client.top) / 2);
  PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, middle);
  PostMessageW(control, WM_LBUTTONUP, 0, middle);
}

void ClickButton(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void PostKey(HWND target, UINT virtualKey) {
  UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, virtualKey, 1 | (scanCode << 16));
  PostMessageW(target, WM_KEYUP, virtualKey, 1 | (scanCode << 16) | 0xC0000000u);
}

void PostChar(HWND target, wchar_t character) { PostMessageW(target, WM_CHAR, character, 1); }

void PostCloseCommand(HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

HWND FocusedWindow(DWORD threadId) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

bool WaitForFocus(DWORD threadId, HWND expected, DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] { return FocusedWindow(threadId) == expected; });
}

bool WaitUntilHandled(HWND edit, DWORD timeoutMs) {
  PostMessageW(edit, EM_SETSEL, MarkStart, MarkEnd);
  bool marked = false;
  WaitUntil(timeoutMs, [&] {
    DWORD start = 0;
    DWORD end = 0;
    SendTimed(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end), nullptr);
    marked = start == MarkStart && end == static_cast<DWORD>(MarkEnd);
    return marked || !IsWindow(edit);
  });
  return marked;
}

int SaveWindowShot(HWND window, const std::wstring& path) {
  RECT frame = {};
  GetWindowRect(window, &frame);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  if (width <= 0 || height <= 0) {
    return 0;
  }
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
  SelectObject(memory, previous);

  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files are
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  int stride = (width * 3 + 3) & ~3;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
  int lines = GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header),
                        DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (lines != height || !WriteBmp(path, header, pixels)) {
    return 0;
  }
  return CountColours(pixels, width, height, stride);
}

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) {
    return std::string();
  }
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr,
                      nullptr);
  return result;
}

std::wstring Widen(const std::string& text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size, L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  }
  return wide;
}

std::string Visible(const std::wstring& text) {
  std::wstring shown;
  for (wchar_t unit : text) {
    if (unit == L'\r') {
      shown += L"\\r";
    } else if (unit == L'\n') {
      shown += L"\\n";
    } else if (unit < 0x20 || unit == 0x7F) {
      wchar_t escaped[8];
      swprintf(escaped, 8, L"\\x%02X", static_cast<unsigned>(unit));
      shown += escaped;
    } else {
      shown += unit;
    }
  }
  return ToUtf8(shown);
}

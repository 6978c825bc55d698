// The process entry, the main dialog's procedure and its message loop.
#include <new>

#include "app/exchange_guard.h"
#include "app/resources/resource.h"
#include "app/win_exception.h"
#include "discovery/port_discovery.h"
#include "frontend/dialog_frontend.h"
#include "protocol/display_protocol.h"
#include "win_types.h"
#include "writing/write_sequence.h"

// Kept at entry; the window icons are loaded from it.
HINSTANCE ProgramInstance = nullptr;
// The dialog's record: null until the dialog is initialised, and again once
// it has closed.
DialogState* MainDialogState = nullptr;

// Object allocation calls this when it fails. The only object allocated that
// way is the DialogState, so the dialog procedure catches what it throws.
void OnAllocationFailure() {
  throw WinException{GetLastError(), L"Out of memory"};
}

namespace {

const wchar_t* AsWide(const Utf16Unit* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

LRESULT SendText(HWND control, UINT message, const Utf16Unit* text) {
  return SendMessageW(control, message, 0, reinterpret_cast<LPARAM>(AsWide(text)));
}

void StoreControlHandles(HWND dialog, DialogState* state) {
  state->portCombo = GetDlgItem(dialog, IDC_PORT);
  state->row0Field = GetDlgItem(dialog, IDC_ROW0);
  state->row1Field = GetDlgItem(dialog, IDC_ROW1);
  state->factoryDefaultButton = GetDlgItem(dialog, IDC_FACTORY_DEFAULT);
  state->exitButton = GetDlgItem(dialog, IDC_EXIT);
  state->writeButton = GetDlgItem(dialog, IDC_WRITE);
}

// LoadIconW gives the system's large size; the small icon is the same image.
void SetWindowIcons(HWND dialog) {
  HICON bigIcon = LoadIconW(ProgramInstance, MAKEINTRESOURCEW(IDI_MAIN));
  SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  HICON smallIcon = LoadIconW(ProgramInstance, MAKEINTRESOURCEW(IDI_MAIN));
  SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

void FillSpeedList(HWND dialog) {
  HWND speedList = GetDlgItem(dialog, IDC_SPEED);
  for (const SpeedEntry& speed : SpeedTable) {
    SendText(speedList, CB_ADDSTRING, speed.label);
  }
  SendMessageW(speedList, CB_SETCURSEL, SpeedDefaultPosition, 0);
}

void SetDefaultRow(HWND rowField, const Utf16Unit* text) {
  SendText(rowField, WM_SETTEXT, text);
  SendMessageW(rowField, EM_LIMITTEXT, RowTextMax, 0);
}

// Shows a start-up failure: no owner, since the dialog may never appear.
void ShowStartupWarning(const wchar_t* text, const wchar_t* caption) {
  MessageBoxW(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

}  // namespace

void InitMainDialog(HWND dialog, DialogState* state) {
  StoreControlHandles(dialog, state);
  SetWindowIcons(dialog);
  // Probing every port can take seconds each; the dialog appears only after.
  FrontEnd frontEnd = {dialog, state, IDC_SPEED};
  DiscoverPorts(&frontEnd);
  FillSpeedList(dialog);
  SetDefaultRow(state->row0Field, DefaultRow0Text);
  SetDefaultRow(state->row1Field, DefaultRow1Text);
}

namespace {

// Without a DialogState (its allocation failed) there are no fields to read:
// the buttons run nothing then. The outcome is the operator's to read in the
// boxes; the dialog has nothing more to do with it.
void RunButton(HWND dialog, WriteAction action) {
  if (MainDialogState == nullptr) return;
  FrontEnd frontEnd = {dialog, MainDialogState, IDC_SPEED};
  RunGuardedWriteSequence(&frontEnd, action);
}

}  // namespace

void OnCommand(HWND dialog, WORD notification, WORD identifier) {
  if (notification != 0) {
    return;
  }
  if (identifier == IDC_FACTORY_DEFAULT) {
    RunButton(dialog, WRITE_ACTION_FACTORY_DEFAULT);
  } else if (identifier == IDC_WRITE) {
    RunButton(dialog, WRITE_ACTION_WRITE);
  } else if (identifier == IDC_EXIT) {
    PostQuitMessage(0);
  }
}

namespace {

INT_PTR OnInitDialog(HWND dialog) {
  DialogState* state = nullptr;
  try {
    state = new DialogState();
    InitMainDialog(dialog, state);
    MainDialogState = state;
  } catch (WinException exception) {
    delete state;  // null unless the failure came from inside InitMainDialog
    ShowStartupWarning(exception.message, L"Exception");
    return TRUE;
  } catch (...) {
    delete state;
    ShowStartupWarning(L"Unknown", L"Exception");
    return -1;
  }
  // TRUE: the system puts the focus on the first tab stop, "Exit".
  return TRUE;
}

void CloseMainDialog(void* dialog) {
  delete MainDialogState;
  MainDialogState = nullptr;
  DestroyWindow(static_cast<HWND>(dialog));
}

// A close that comes from inside a write sequence's box waits until the
// sequence has ended: its boxes, the exit command, the port put back.
void OnClose(HWND dialog) { RequestClose(CloseMainDialog, dialog); }

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(dialog);
    case WM_COMMAND:
      OnCommand(dialog, HIWORD(wParam), LOWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      OnClose(dialog);
      return TRUE;
    case WM_DESTROY:
      PostQuitMessage(0);
      return TRUE;
    default:
      return FALSE;
  }
}

namespace {

// Returns false when GetMessageW fails; otherwise true once the quit message
// arrives, with its wParam in *quitCode.
bool RunMessageLoop(HWND dialog, int* quitCode) {
  MSG message;
  for (;;) {
    BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == 0) {
      *quitCode = static_cast<int>(message.wParam);
      return true;
    }
    if (result == -1) {
      return false;
    }
    // Tab, the arrow keys, Enter and Esc work the way they do in a dialog.
    if (!IsDialogMessageW(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  ProgramInstance = instance;
  std::set_new_handler(OnAllocationFailure);

  HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
  if (dialog == nullptr) {
    wchar_t text[32];
    wsprintfW(text, L"Error x%x", GetLastError());
    ShowStartupWarning(text, L"CreateDialog");
    return 1;
  }

  int quitCode = 0;
  if (!RunMessageLoop(dialog, &quitCode)) {
    return -1;  // at once, the dialog left as it is
  }
  // After "Exit" the dialog still exists; after a close it is already gone.
  DestroyWindow(dialog);
  return quitCode;
}

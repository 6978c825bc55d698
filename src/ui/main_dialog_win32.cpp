// The process entry, the main dialog's procedure and its message loop.
#include <new>

#include "discovery/port_discovery.h"
#include "protocol/display_protocol.h"
#include "ui/dialog_state.h"
#include "ui/resources/resource.h"
#include "ui/win_exception.h"
#include "win_types.h"
#include "writing/write_sequence.h"

HINSTANCE g_instance = nullptr;

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
  HICON bigIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_MAIN));
  SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  HICON smallIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_MAIN));
  SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

void FillSpeedList(HWND dialog) {
  HWND speedList = GetDlgItem(dialog, IDC_SPEED);
  for (int position = 0; position < SPEED_LABEL_COUNT; ++position) {
    SendText(speedList, CB_ADDSTRING, SpeedLabels[position]);
  }
  SendMessageW(speedList, CB_SETCURSEL, SPEED_DEFAULT_POSITION, 0);
}

void SetDefaultRow(HWND rowField, const Utf16Unit* text) {
  SendText(rowField, WM_SETTEXT, text);
  SendMessageW(rowField, EM_LIMITTEXT, ROW_TEXT_MAX, 0);
}

// Shows a start-up failure: no owner, since the dialog may never appear.
void ShowStartupWarning(const wchar_t* text, const wchar_t* caption) {
  MessageBoxW(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

}  // namespace

void InitMainDialog(HWND dialog, DialogState* state) {
  StoreControlHandles(dialog, state);
  SetWindowIcons(dialog);
  ResetDevicePath(state);
  // Probing every port can take seconds each; the dialog appears only after.
  DiscoverPorts(state->portCombo);
  FillSpeedList(dialog);
  SetDefaultRow(state->row0Field, DefaultRow0Text);
  SetDefaultRow(state->row1Field, DefaultRow1Text);
}

void OnCommand(HWND dialog, WORD notification, WORD identifier) {
  if (notification != 0) {
    return;
  }
  // Without a DialogState (its allocation failed) there are no handles and
  // no DevicePath to write with: only Exit works then.
  if (identifier == IDC_FACTORY_DEFAULT && g_dialogState != nullptr) {
    RunWriteSequence(dialog, WRITE_ACTION_FACTORY_DEFAULT);
  } else if (identifier == IDC_WRITE && g_dialogState != nullptr) {
    RunWriteSequence(dialog, WRITE_ACTION_WRITE);
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
    g_dialogState = state;
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

void OnClose(HWND dialog) {
  delete g_dialogState;
  g_dialogState = nullptr;
  DestroyWindow(dialog);
}

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
  g_instance = instance;
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

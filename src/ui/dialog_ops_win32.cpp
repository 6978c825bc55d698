// The dialog operations of the write sequence and discovery, as messages to
// the main dialog's controls. The port and row fields are reached through
// the handles kept in g_dialogState; the speed list is looked up by its
// identifier each time.
#include "ui/dialog_ops.h"

#include "protocol/display_protocol.h"
#include "ui/dialog_state.h"
#include "ui/resources/resource.h"

namespace {

// The logic's text is char16_t, the API's wchar_t: both 16-bit UTF-16.
const wchar_t* AsWide(const Utf16Unit* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

LPARAM TextParam(const Utf16Unit* text) {
  return reinterpret_cast<LPARAM>(AsWide(text));
}

LPARAM BufferParam(Utf16Unit* buffer) {
  return reinterpret_cast<LPARAM>(reinterpret_cast<wchar_t*>(buffer));
}

HWND RowField(int row) {
  return row == 0 ? g_dialogState->row0Field : g_dialogState->row1Field;
}

HWND SpeedList(HWND dialog) {
  return GetDlgItem(dialog, IDC_SPEED);
}

}  // namespace

DWORD DialogGetPortTextLength(HWND) {
  return static_cast<DWORD>(SendMessageW(g_dialogState->portCombo, WM_GETTEXTLENGTH, 0, 0));
}

void DialogGetPortText(HWND, Utf16Unit* buffer, DWORD limit) {
  SendMessageW(g_dialogState->portCombo, WM_GETTEXT, limit, BufferParam(buffer));
}

void DialogSetPortText(HWND, const Utf16Unit* text) {
  SendMessageW(g_dialogState->portCombo, WM_SETTEXT, 0, TextParam(text));
}

void DialogGetRowText(HWND, int row, Utf16Unit* buffer) {
  SendMessageW(RowField(row), WM_GETTEXT, ROW_TEXT_MAX + 1, BufferParam(buffer));
}

void DialogSetRowText(HWND, int row, const Utf16Unit* text) {
  SendMessageW(RowField(row), WM_SETTEXT, 0, TextParam(text));
}

int DialogGetSpeedSelection(HWND dialog) {
  LRESULT position = SendMessageW(SpeedList(dialog), CB_GETCURSEL, 0, 0);
  return position == CB_ERR ? SPEED_NO_SELECTION : static_cast<int>(position);
}

void DialogSetSpeedSelection(HWND dialog, int position) {
  SendMessageW(SpeedList(dialog), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

void DialogShowBox(HWND dialog, const Utf16Unit* text, const Utf16Unit* caption) {
  MessageBoxW(dialog, AsWide(text), AsWide(caption), MB_OK);
}

void ComboAddPortName(HWND portCombo, const Utf16Unit* name) {
  SendMessageW(portCombo, CB_ADDSTRING, 0, TextParam(name));
}

void ComboSetPortText(HWND portCombo, const Utf16Unit* name) {
  SendMessageW(portCombo, WM_SETTEXT, 0, TextParam(name));
}

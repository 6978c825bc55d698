// The front-end operations on the dialog: one control message each. The port
// and row fields are reached through the handles in the dialog's record; the
// speed list is looked up by its identifier each time.
#include "frontend/frontend_ops.h"

#include "frontend/dialog_frontend.h"
#include "protocol/display_protocol.h"

namespace {

// The logic's text is char16_t, the API's wchar_t: both 16-bit UTF-16.
const wchar_t* AsWide(const Utf16Unit* text) { return reinterpret_cast<const wchar_t*>(text); }

LPARAM TextParam(const Utf16Unit* text) { return reinterpret_cast<LPARAM>(AsWide(text)); }

LPARAM BufferParam(Utf16Unit* buffer) {
  return reinterpret_cast<LPARAM>(reinterpret_cast<wchar_t*>(buffer));
}

HWND RowField(FrontEnd* frontEnd, int row) {
  return row == 0 ? frontEnd->state->row0Field : frontEnd->state->row1Field;
}

HWND SpeedList(FrontEnd* frontEnd) { return GetDlgItem(frontEnd->dialog, frontEnd->speedListId); }

}  // namespace

DWORD FrontEndGetPortTextLength(FrontEnd* frontEnd) {
  return static_cast<DWORD>(SendMessageW(frontEnd->state->portCombo, WM_GETTEXTLENGTH, 0, 0));
}

void FrontEndGetPortText(FrontEnd* frontEnd, Utf16Unit* buffer, DWORD limit) {
  SendMessageW(frontEnd->state->portCombo, WM_GETTEXT, limit, BufferParam(buffer));
}

void FrontEndSetPortText(FrontEnd* frontEnd, const Utf16Unit* text) {
  SendMessageW(frontEnd->state->portCombo, WM_SETTEXT, 0, TextParam(text));
}

void FrontEndAddPortName(FrontEnd* frontEnd, const Utf16Unit* name) {
  SendMessageW(frontEnd->state->portCombo, CB_ADDSTRING, 0, TextParam(name));
}

void FrontEndGetRowText(FrontEnd* frontEnd, int row, Utf16Unit* buffer) {
  SendMessageW(RowField(frontEnd, row), WM_GETTEXT, RowTextMax + 1, BufferParam(buffer));
}

void FrontEndSetRowText(FrontEnd* frontEnd, int row, const Utf16Unit* text) {
  SendMessageW(RowField(frontEnd, row), WM_SETTEXT, 0, TextParam(text));
}

int FrontEndGetSpeedSelection(FrontEnd* frontEnd) {
  LRESULT position = SendMessageW(SpeedList(frontEnd), CB_GETCURSEL, 0, 0);
  return position == CB_ERR ? SpeedNoSelection : static_cast<int>(position);
}

void FrontEndSetSpeedSelection(FrontEnd* frontEnd, int position) {
  SendMessageW(SpeedList(frontEnd), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

void FrontEndShowBox(FrontEnd* frontEnd, const Utf16Unit* text, const Utf16Unit* caption) {
  MessageBoxW(frontEnd->dialog, AsWide(text), AsWide(caption), MB_OK);
}

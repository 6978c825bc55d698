// What the write sequence and discovery know of the screen: the operations
// on the main dialog's controls. dialog_ops_win32.cpp realises them with
// messages to the controls; the native tests link a simulated dialog.
#ifndef VFD_DIALOG_OPS_H
#define VFD_DIALOG_OPS_H

#include "win_types.h"

// Port field (IDC_PORT, through DialogState's handle).
DWORD DialogGetPortTextLength(HWND dialog);                           // WM_GETTEXTLENGTH
void DialogGetPortText(HWND dialog, Utf16Unit* buffer, DWORD limit);  // WM_GETTEXT, limit units incl. terminator
void DialogSetPortText(HWND dialog, const Utf16Unit* text);           // WM_SETTEXT

// Row fields (IDC_ROW0, IDC_ROW1): row is 0 or 1. buffer holds 64 units.
void DialogGetRowText(HWND dialog, int row, Utf16Unit* buffer);       // WM_GETTEXT limit 64
void DialogSetRowText(HWND dialog, int row, const Utf16Unit* text);   // WM_SETTEXT

// Speed list (IDC_SPEED, looked up by identifier each time).
int DialogGetSpeedSelection(HWND dialog);                  // position or SPEED_NO_SELECTION
void DialogSetSpeedSelection(HWND dialog, int position);   // CB_SETCURSEL

// MessageBoxW(dialog, text, caption, MB_OK): modal, no icon, returns when dismissed.
void DialogShowBox(HWND dialog, const Utf16Unit* text, const Utf16Unit* caption);

// The port combo box, for discovery.
void ComboAddPortName(HWND portCombo, const Utf16Unit* name);  // CB_ADDSTRING
void ComboSetPortText(HWND portCombo, const Utf16Unit* name);  // WM_SETTEXT

#endif  // VFD_DIALOG_OPS_H

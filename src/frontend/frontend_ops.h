// What the exchange knows of the operator's side: the port field and its
// list, the two row fields, the speed list and the message boxes. The write
// sequence and discovery reach the operator only through these operations;
// every one takes the front end it works on as its first argument. Each
// program links one realisation: the dialog's (frontend_ops_win32.cpp, one
// control message per operation), the console's, or the tests' simulated one.
#ifndef VFD_FRONTEND_OPS_H
#define VFD_FRONTEND_OPS_H

#include "win_types.h"

// Defined by each realisation: the dialog's windows, the console's options.
struct FrontEnd;

// Port field.
DWORD FrontEndGetPortTextLength(FrontEnd* frontEnd);                           // WM_GETTEXTLENGTH
void FrontEndGetPortText(FrontEnd* frontEnd, Utf16Unit* buffer, DWORD limit);  // WM_GETTEXT, limit units incl. terminator
void FrontEndSetPortText(FrontEnd* frontEnd, const Utf16Unit* text);           // WM_SETTEXT
// The port field's drop-down list; the list keeps its own (sorted) order.
void FrontEndAddPortName(FrontEnd* frontEnd, const Utf16Unit* name);           // CB_ADDSTRING

// Row fields: row is 0 or 1. buffer holds 64 units.
void FrontEndGetRowText(FrontEnd* frontEnd, int row, Utf16Unit* buffer);       // WM_GETTEXT limit 64
void FrontEndSetRowText(FrontEnd* frontEnd, int row, const Utf16Unit* text);   // WM_SETTEXT

// Speed list.
int FrontEndGetSpeedSelection(FrontEnd* frontEnd);                  // position or SpeedNoSelection
void FrontEndSetSpeedSelection(FrontEnd* frontEnd, int position);   // CB_SETCURSEL

// A message for the operator: modal, no icon, one OK button; returns when
// dismissed (MessageBoxW(dialog, text, caption, MB_OK)).
void FrontEndShowBox(FrontEnd* frontEnd, const Utf16Unit* text, const Utf16Unit* caption);

#endif  // VFD_FRONTEND_OPS_H

// The dialog's side of the front-end seam: the dialog's record (the handles
// of its controls) and the front end its operations take. Only the dialog
// program and frontend_ops_win32.cpp use this.
#ifndef VFD_DIALOG_FRONTEND_H
#define VFD_DIALOG_FRONTEND_H

#include "win_types.h"

// Created when the dialog is initialised, released when it closes.
struct DialogState {
  HWND portCombo;
  HWND row0Field;
  HWND row1Field;
  HWND factoryDefaultButton;
  HWND exitButton;
  HWND writeButton;
};

// The dialog as a front end: the window that owns the boxes, the record with
// its fields, and the identifier by which the speed list is looked up each
// time it is needed (the record does not keep it).
struct FrontEnd {
  HWND dialog;
  DialogState* state;
  int speedListId;
};

#endif  // VFD_DIALOG_FRONTEND_H

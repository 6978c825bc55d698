// The main dialog's record and the process-wide pointer to it.
#ifndef VFD_DIALOG_STATE_H
#define VFD_DIALOG_STATE_H

#include "serial/serial_link.h"
#include "win_types.h"

struct DialogState {
  HWND portCombo;
  HWND row0Field;
  HWND row1Field;
  HWND factoryDefaultButton;
  HWND exitButton;
  HWND writeButton;
  // \\.\ in the first four units; each write sequence reads the port name
  // (at most 16 characters and a terminator) right after it.
  Utf16Unit devicePath[DIALOG_DEVICE_PATH_UNITS];
};

// Null until the dialog is initialised, and again after WM_CLOSE.
extern DialogState* g_dialogState;

// Clears the path and stores the \\.\ prefix.
void ResetDevicePath(DialogState* state);

#endif  // VFD_DIALOG_STATE_H

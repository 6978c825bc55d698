// A simulated main dialog, linked in place of dialog_ops_win32.cpp: fields,
// the speed list, the port combo and a recorder of message boxes.
#ifndef VFD_SIM_DIALOG_H
#define VFD_SIM_DIALOG_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "win_types.h"

struct SimBox {
  std::u16string caption;
  std::u16string text;
  uint64_t timeMs;  // virtual time when it was shown
};

struct SimDialog {
  std::u16string portText;
  std::u16string rowText[2];
  int speedSelection = 3;        // position, or -1 for none
  std::vector<SimBox> boxes;
  std::vector<std::u16string> comboItems;  // in the order added
  int comboSetTextCalls = 0;
  std::u16string comboText;      // the combo's edit field as discovery set it
  int portTextSets = 0, rowTextSets[2] = {0, 0}, speedSets = 0;
  // Called while a box is on screen (before it is dismissed).
  std::function<void(const SimBox&)> onBox;
};

// Resets the dialog and returns it; the fake HWND to pass is SimDialogHwnd().
SimDialog* SimResetDialog();
SimDialog* SimGetDialog();
HWND SimDialogHwnd();
HWND SimComboHwnd();

#endif  // VFD_SIM_DIALOG_H

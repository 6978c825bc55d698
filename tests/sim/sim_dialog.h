// A simulated dialog, linked in place of frontend_ops_win32.cpp by the native
// tests and by the Windows-side tests of the write sequence: fields, the
// speed list, the port combo and a recorder of message boxes. The real dialog
// is worked end to end by tests/e2e.
#ifndef VFD_SIM_DIALOG_H
#define VFD_SIM_DIALOG_H

#include <functional>
#include <string>
#include <vector>

#include "win_types.h"

struct SimBox {
  std::u16string caption;
  std::u16string text;
};

struct SimDialog {
  std::u16string portText;
  std::u16string rowText[2];
  int speedSelection = 3;        // position, or -1 for none
  std::vector<SimBox> boxes;
  std::vector<std::u16string> comboItems;  // in the order added
  int portTextSets = 0, rowTextSets[2] = {0, 0}, speedSets = 0;
  // Called while a box is on screen (before it is dismissed).
  std::function<void(const SimBox&)> onBox;
};

// The simulated dialog as the front end the exchange works on.
struct FrontEnd {
  SimDialog* dialog;
};

// Resets the dialog and returns it; the front end to pass is SimFrontEnd().
SimDialog* SimResetDialog();
SimDialog* SimGetDialog();
FrontEnd* SimFrontEnd();

#endif  // VFD_SIM_DIALOG_H

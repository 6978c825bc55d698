// The dialog operations for the Windows-side tests of the write sequence: the
// port, row and speed fields are plain values and every box is recorded
// instead of shown. The real dialog is worked end to end by tests/e2e; here
// the point is the real port under the sequence.
#ifndef VFD_WIN32_RECORDER_DIALOG_H
#define VFD_WIN32_RECORDER_DIALOG_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct RecordedBox {
  std::wstring caption;
  std::wstring text;
};

struct RecorderDialog {
  std::wstring portText;
  std::wstring rowText[2];
  int speedSelection = 3;  // position, or -1 for none
  std::vector<RecordedBox> boxes;
  std::vector<std::wstring> comboItems;
  std::wstring comboText;
  // Runs while a box is "on screen", before it is dismissed.
  std::function<void(const RecordedBox&)> onBox;
};

// Clears the recorder and returns it.
RecorderDialog* ResetRecorderDialog();

#endif  // VFD_WIN32_RECORDER_DIALOG_H

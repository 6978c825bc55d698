// A hidden top-level window holding a port combo box with the dialog's
// styles (editable field, sorted list), so that discovery fills a real
// control and the list's order is Wine's own sort.
#ifndef VFD_WIN32_COMBO_WINDOW_H
#define VFD_WIN32_COMBO_WINDOW_H

#include <windows.h>

#include <string>
#include <vector>

struct ComboWindow {
  HWND frame;
  HWND combo;
};

// Null handles when the window cannot be created (no display). The speed
// list's kind: a drop-down list, sorted, not editable.
ComboWindow CreateComboWindow();
ComboWindow CreateSpeedListWindow();
void DestroyComboWindow(ComboWindow* window);

std::vector<std::wstring> ComboListItems(HWND combo);  // in the list's order
std::wstring ComboFieldText(HWND combo);

// DiscoverPorts into the window's combo through the dialog's own front-end
// operations.
void DiscoverPortsInto(const ComboWindow& window);

#endif  // VFD_WIN32_COMBO_WINDOW_H

#include "combo_window.h"

#include "discovery/port_discovery.h"
#include "frontend/dialog_frontend.h"

namespace {

ComboWindow CreateWithStyle(DWORD comboStyle) {
  ComboWindow window = {nullptr, nullptr};
  // A plain STATIC frame: no window class of our own to register.
  window.frame = CreateWindowExW(0, L"STATIC", L"combo box test", WS_OVERLAPPED, 0, 0, 300, 200,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window.frame) return window;
  window.combo = CreateWindowExW(0, L"COMBOBOX", L"",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | comboStyle, 10,
                                 10, 150, 120, window.frame, nullptr, GetModuleHandleW(nullptr),
                                 nullptr);
  return window;
}

}  // namespace

// The styles of the dialog's port combo and speed list.
ComboWindow CreateComboWindow() { return CreateWithStyle(CBS_DROPDOWN | CBS_SORT | CBS_NOINTEGRALHEIGHT); }

ComboWindow CreateSpeedListWindow() { return CreateWithStyle(CBS_DROPDOWNLIST | CBS_SORT); }

void DiscoverPortsInto(const ComboWindow& window) {
  DialogState state = {};
  state.portCombo = window.combo;
  // Discovery uses no speed list.
  FrontEnd frontEnd = {window.frame, &state, 0};
  DiscoverPorts(&frontEnd);
}

void DestroyComboWindow(ComboWindow* window) {
  if (window->frame) DestroyWindow(window->frame);
  window->frame = nullptr;
  window->combo = nullptr;
}

std::vector<std::wstring> ComboListItems(HWND combo) {
  std::vector<std::wstring> items;
  LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(length));
    items.push_back(text);
  }
  return items;
}

std::wstring ComboFieldText(HWND combo) {
  wchar_t text[64] = {0};
  GetWindowTextW(combo, text, 64);
  return text;
}

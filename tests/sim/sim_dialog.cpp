// Simulated dialog operations over a SimDialog record.
#include "sim_dialog.h"

#include "sim_port.h"
#include "ui/dialog_ops.h"

namespace {

SimDialog& Dialog() {
  static SimDialog dialog;
  return dialog;
}

// WM_GETTEXT: at most limit - 1 units and a terminator.
void CopyText(const std::u16string& text, Utf16Unit* buffer, DWORD limit) {
  if (limit == 0) return;
  DWORD n = 0;
  for (; n + 1 < limit && n < text.size(); ++n) buffer[n] = text[n];
  buffer[n] = 0;
}

std::u16string Text(const Utf16Unit* text) {
  std::u16string out;
  for (; text && *text; ++text) out += *text;
  return out;
}

}  // namespace

SimDialog* SimResetDialog() {
  Dialog() = SimDialog();
  return &Dialog();
}

SimDialog* SimGetDialog() { return &Dialog(); }
HWND SimDialogHwnd() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0xD1A1)); }
HWND SimComboHwnd() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0xC0B0)); }

DWORD DialogGetPortTextLength(HWND) { return static_cast<DWORD>(Dialog().portText.size()); }

void DialogGetPortText(HWND, Utf16Unit* buffer, DWORD limit) { CopyText(Dialog().portText, buffer, limit); }

void DialogSetPortText(HWND, const Utf16Unit* text) {
  Dialog().portText = Text(text);
  Dialog().portTextSets++;
}

void DialogGetRowText(HWND, int row, Utf16Unit* buffer) { CopyText(Dialog().rowText[row], buffer, 64); }

void DialogSetRowText(HWND, int row, const Utf16Unit* text) {
  Dialog().rowText[row] = Text(text);
  Dialog().rowTextSets[row]++;
}

int DialogGetSpeedSelection(HWND) { return Dialog().speedSelection; }

void DialogSetSpeedSelection(HWND, int position) {
  Dialog().speedSelection = position;
  Dialog().speedSets++;
}

void DialogShowBox(HWND, const Utf16Unit* text, const Utf16Unit* caption) {
  SimBox box{Text(caption), Text(text), SimNow()};
  Dialog().boxes.push_back(box);
  if (Dialog().onBox) Dialog().onBox(box);
}

void ComboAddPortName(HWND, const Utf16Unit* name) { Dialog().comboItems.push_back(Text(name)); }

void ComboSetPortText(HWND, const Utf16Unit* name) {
  Dialog().comboText = Text(name);
  Dialog().comboSetTextCalls++;
}

#include "recorder_dialog.h"

#include "ui/dialog_ops.h"

namespace {

RecorderDialog& Dialog() {
  static RecorderDialog dialog;
  return dialog;
}

std::wstring Text(const Utf16Unit* text) {
  std::wstring out;
  for (; text && *text; ++text) out += static_cast<wchar_t>(*text);
  return out;
}

// As WM_GETTEXT: at most limit - 1 units, then a terminator.
void CopyText(const std::wstring& text, Utf16Unit* buffer, DWORD limit) {
  if (limit == 0) return;
  DWORD n = 0;
  for (; n + 1 < limit && n < text.size(); ++n) buffer[n] = static_cast<Utf16Unit>(text[n]);
  buffer[n] = 0;
}

}  // namespace

RecorderDialog* ResetRecorderDialog() {
  Dialog() = RecorderDialog();
  return &Dialog();
}

DWORD DialogGetPortTextLength(HWND) { return static_cast<DWORD>(Dialog().portText.size()); }

void DialogGetPortText(HWND, Utf16Unit* buffer, DWORD limit) {
  CopyText(Dialog().portText, buffer, limit);
}

void DialogSetPortText(HWND, const Utf16Unit* text) { Dialog().portText = Text(text); }

void DialogGetRowText(HWND, int row, Utf16Unit* buffer) {
  CopyText(Dialog().rowText[row], buffer, 64);
}

void DialogSetRowText(HWND, int row, const Utf16Unit* text) { Dialog().rowText[row] = Text(text); }

int DialogGetSpeedSelection(HWND) { return Dialog().speedSelection; }

void DialogSetSpeedSelection(HWND, int position) { Dialog().speedSelection = position; }

void DialogShowBox(HWND, const Utf16Unit* text, const Utf16Unit* caption) {
  RecordedBox box{Text(caption), Text(text)};
  Dialog().boxes.push_back(box);
  if (Dialog().onBox) Dialog().onBox(box);
}

void ComboAddPortName(HWND, const Utf16Unit* name) { Dialog().comboItems.push_back(Text(name)); }

void ComboSetPortText(HWND, const Utf16Unit* name) { Dialog().comboText = Text(name); }

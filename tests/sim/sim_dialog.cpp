// Simulated dialog operations over a SimDialog record.
#include "sim_dialog.h"

#include "frontend/frontend_ops.h"

namespace {

SimDialog& TheDialog() {
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
  TheDialog() = SimDialog();
  return &TheDialog();
}

SimDialog* SimGetDialog() { return &TheDialog(); }

FrontEnd* SimFrontEnd() {
  static FrontEnd frontEnd = {&TheDialog()};
  return &frontEnd;
}

DWORD FrontEndGetPortTextLength(FrontEnd* frontEnd) {
  return static_cast<DWORD>(frontEnd->dialog->portText.size());
}

void FrontEndGetPortText(FrontEnd* frontEnd, Utf16Unit* buffer, DWORD limit) {
  CopyText(frontEnd->dialog->portText, buffer, limit);
}

void FrontEndSetPortText(FrontEnd* frontEnd, const Utf16Unit* text) {
  frontEnd->dialog->portText = Text(text);
  frontEnd->dialog->portTextSets++;
}

void FrontEndAddPortName(FrontEnd* frontEnd, const Utf16Unit* name) {
  frontEnd->dialog->comboItems.push_back(Text(name));
}

void FrontEndGetRowText(FrontEnd* frontEnd, int row, Utf16Unit* buffer) {
  CopyText(frontEnd->dialog->rowText[row], buffer, 64);
}

void FrontEndSetRowText(FrontEnd* frontEnd, int row, const Utf16Unit* text) {
  frontEnd->dialog->rowText[row] = Text(text);
  frontEnd->dialog->rowTextSets[row]++;
}

int FrontEndGetSpeedSelection(FrontEnd* frontEnd) { return frontEnd->dialog->speedSelection; }

void FrontEndSetSpeedSelection(FrontEnd* frontEnd, int position) {
  frontEnd->dialog->speedSelection = position;
  frontEnd->dialog->speedSets++;
}

void FrontEndShowBox(FrontEnd* frontEnd, const Utf16Unit* text, const Utf16Unit* caption) {
  SimBox box{Text(caption), Text(text)};
  frontEnd->dialog->boxes.push_back(box);
  if (frontEnd->dialog->onBox) frontEnd->dialog->onBox(box);
}

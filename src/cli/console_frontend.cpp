#include "cli/console_frontend.h"

#include "frontend/frontend_ops.h"
#include "protocol/display_protocol.h"
#include "text/utf_convert.h"

namespace {

// As WM_GETTEXT: at most limit - 1 units, then a terminator.
void CopyText(const std::u16string& text, Utf16Unit* buffer, DWORD limit) {
  if (limit == 0) return;
  DWORD n = 0;
  for (; n + 1 < limit && n < text.size(); ++n) buffer[n] = text[n];
  buffer[n] = 0;
}

std::u16string TextOf(const Utf16Unit* text) { return text == nullptr ? u"" : std::u16string(text); }

}  // namespace

void ResetConsoleFrontEnd(FrontEnd* frontEnd) {
  *frontEnd = FrontEnd();
  frontEnd->rowText[0] = DefaultRow0Text;
  frontEnd->rowText[1] = DefaultRow1Text;
  frontEnd->speedSelection = SpeedDefaultPosition;
  frontEnd->onBox = nullptr;
}

DWORD FrontEndGetPortTextLength(FrontEnd* frontEnd) { return static_cast<DWORD>(frontEnd->portText.size()); }

void FrontEndGetPortText(FrontEnd* frontEnd, Utf16Unit* buffer, DWORD limit) {
  CopyText(frontEnd->portText, buffer, limit);
}

void FrontEndSetPortText(FrontEnd* frontEnd, const Utf16Unit* text) { frontEnd->portText = TextOf(text); }

void FrontEndAddPortName(FrontEnd* frontEnd, const Utf16Unit* name) { frontEnd->listedPorts.push_back(TextOf(name)); }

void FrontEndGetRowText(FrontEnd* frontEnd, int row, Utf16Unit* buffer) {
  CopyText(frontEnd->rowText[row], buffer, RowTextMax + 1);
}

void FrontEndSetRowText(FrontEnd* frontEnd, int row, const Utf16Unit* text) { frontEnd->rowText[row] = TextOf(text); }

int FrontEndGetSpeedSelection(FrontEnd* frontEnd) { return frontEnd->speedSelection; }

void FrontEndSetSpeedSelection(FrontEnd* frontEnd, int position) { frontEnd->speedSelection = position; }

void FrontEndShowBox(FrontEnd* frontEnd, const Utf16Unit* text, const Utf16Unit* caption) {
  BoxMessage message = {Utf16ToUtf8(TextOf(caption)), Utf16ToUtf8(TextOf(text))};
  frontEnd->messages.push_back(message);
  if (frontEnd->onBox != nullptr) frontEnd->onBox(message);
}

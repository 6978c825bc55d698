#include "protocol/startup_view.h"

namespace {

char Shown(BYTE byte) {
  if (byte >= 0x20 && byte < 0x7F) return static_cast<char>(byte);
  return byte == 0x7F ? '#' : '?';
}

}  // namespace

DWORD ScrollStepMs(SpeedCode code) {
  const SpeedEntry* entry = SpeedEntryForCode(code);
  return entry == nullptr ? 0 : entry->scrollStepMs;
}

std::string RowTextOf(const BYTE* record, int row) {
  std::string text;
  const BYTE* bytes = record + row * RowLength;
  for (DWORD i = 1; i < RowLength && bytes[i] != 0; ++i) text += static_cast<char>(bytes[i]);
  return text;
}

std::string RowWindow(const BYTE* record, int row, unsigned long long elapsedMs) {
  std::string text = RowTextOf(record, row);
  DWORD step = ScrollStepMs(record[row * RowLength]);
  size_t offset = 0;
  if (text.size() > DisplayColumns && step != 0) offset = static_cast<size_t>((elapsedMs / step) % text.size());
  std::string window;
  for (size_t i = 0; i < DisplayColumns; ++i) {
    if (offset == 0 && i >= text.size()) window += ' ';
    else window += Shown(static_cast<BYTE>(text[(offset + i) % text.size()]));
  }
  return window;
}

std::string RenderDisplayFrame(const BYTE* record, unsigned long long elapsedMs) {
  std::string border = "+" + std::string(DisplayColumns, '-') + "+\n";
  return border + "|" + RowWindow(record, 0, elapsedMs) + "|\n|" + RowWindow(record, 1, elapsedMs) +
         "|\n" + border;
}

#include "display.h"

#include <cstdio>

#include "control.h"

namespace {

char Shown(uint8_t byte) {
  if (byte >= 0x20 && byte < 0x7F) return static_cast<char>(byte);
  return byte == 0x7F ? '#' : '?';
}

}  // namespace

Bytes RowText(const Record& record, size_t row) {
  Bytes text;
  for (size_t i = row * kRowSize + 1; i < (row + 1) * kRowSize && record[i] != 0; ++i) {
    text.push_back(record[i]);
  }
  return text;
}

unsigned ScrollStepMs(uint8_t speedCode) {
  if (speedCode == 0x10) return 5;
  if (speedCode >= 0x11 && speedCode <= 0x15) return (speedCode - 0x10) * 100u;
  return 0;
}

std::string DisplayWindow(const Record& record, size_t row, unsigned long long elapsedMs) {
  Bytes text = RowText(record, row);
  unsigned step = ScrollStepMs(record[row * kRowSize]);
  std::string window;
  if (text.size() <= kDisplayColumns || step == 0) {
    for (size_t i = 0; i < kDisplayColumns; ++i) window += i < text.size() ? Shown(text[i]) : ' ';
    return window;
  }
  size_t offset = static_cast<size_t>((elapsedMs / step) % text.size());
  for (size_t i = 0; i < kDisplayColumns; ++i) window += Shown(text[(offset + i) % text.size()]);
  return window;
}

std::string FormatMessageText(const Record& record) {
  std::string out;
  for (size_t row = 0; row < 2; ++row) {
    Bytes text = RowText(record, row);
    uint8_t speed = record[row * kRowSize];
    char head[64];
    std::snprintf(head, sizeof head, "row%zu speed=0x%02X step_ms=%u text=\"", row, speed,
                  ScrollStepMs(speed));
    out += head + EscapeText(text.data(), text.size()) + "\"\n";
  }
  return out;
}

std::string RenderDisplayFrame(const Record& record, unsigned long long elapsedMs,
                               const std::string& status) {
  std::string border = "+" + std::string(kDisplayColumns, '-') + "+";
  std::string frame = border + "\n";
  for (size_t row = 0; row < 2; ++row) frame += "|" + DisplayWindow(record, row, elapsedMs) + "|\n";
  frame += border + "\n";
  frame += status + "\x1b[K\n";  // clear what a longer status left behind
  return frame;
}

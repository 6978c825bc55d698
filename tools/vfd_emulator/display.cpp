#include "display.h"

#include <cstdio>

#include "control.h"
#include "protocol/startup_view.h"

Bytes RowText(const Record& record, size_t row) {
  std::string text = RowTextOf(record.data(), static_cast<int>(row));
  return Bytes(text.begin(), text.end());
}

std::string FormatMessageText(const Record& record) {
  std::string out;
  for (size_t row = 0; row < 2; ++row) {
    Bytes text = RowText(record, row);
    uint8_t speed = record[row * expected::RowSize];
    char head[64];
    std::snprintf(head, sizeof head, "row%zu speed=0x%02X step_ms=%u text=\"", row, speed,
                  static_cast<unsigned>(ScrollStepMs(speed)));
    out += head + EscapeText(text.data(), text.size()) + "\"\n";
  }
  return out;
}

std::string RenderDisplayFrame(const Record& record, unsigned long long elapsedMs,
                               const std::string& status) {
  // Clear what a longer status left behind.
  return RenderDisplayFrame(record.data(), elapsedMs) + status + "\x1b[K\n";
}

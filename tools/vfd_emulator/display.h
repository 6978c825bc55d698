// What the module shows of its stored startup message: each row in a
// 20-column window, scrolling at the row's speed code.
#ifndef VFD_EMULATOR_DISPLAY_H
#define VFD_EMULATOR_DISPLAY_H

#include <string>

#include "device.h"

const size_t kDisplayColumns = 20;

// The row's text: bytes 1..63 of the row up to the first zero.
Bytes RowText(const Record& record, size_t row);

// Milliseconds per scroll step: 0x10 is "<10ms", 0x11..0x15 are 100..500 ms;
// 0 for any other code, which the display shows without scrolling.
unsigned ScrollStepMs(uint8_t speedCode);

// The 20 columns of a row, elapsedMs after power-up. A text of at most 20
// characters stands still; a longer one moves left one character a step and
// starts over after its last character.
std::string DisplayWindow(const Record& record, size_t row, unsigned long long elapsedMs);

// Both rows as plain text, one line each, for scripts:
//   row0 speed=0x13 step_ms=300 text="..."
std::string FormatMessageText(const Record& record);

// The two windows in a frame, with a status line below; redrawn in place.
std::string RenderDisplayFrame(const Record& record, unsigned long long elapsedMs,
                               const std::string& status);

#endif

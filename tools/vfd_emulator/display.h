// What the emulated module shows of its stored startup message: the two
// rows as the module draws them (src/protocol/startup_view.h), a status line
// below, and a plain-text printout for scripts.
#ifndef VFD_EMULATOR_DISPLAY_H
#define VFD_EMULATOR_DISPLAY_H

#include <string>

#include "device.h"

// The row's text: bytes 1..63 of the row up to the first zero.
Bytes RowText(const Record& record, size_t row);

// Both rows as plain text, one line each, for scripts:
//   row0 speed=0x13 step_ms=300 text="..."
std::string FormatMessageText(const Record& record);

// The two windows in a frame, with a status line below; redrawn in place.
std::string RenderDisplayFrame(const Record& record, unsigned long long elapsedMs,
                               const std::string& status);

#endif

// What the module shows of its startup message at power-on: each row in a
// window of 20 columns; a row of more than 20 characters moves left one
// character a scroll step (its speed code's) and starts over after its last
// character; shorter rows, and rows of a code no speed sends, stand still.
// Shared by the display emulator and the console program's preview.
#ifndef VFD_STARTUP_VIEW_H
#define VFD_STARTUP_VIEW_H

#include <string>

#include "protocol/display_protocol.h"

const DWORD DisplayColumns = 20;

// Milliseconds per scroll step of a speed code; 0 for a code no position sends.
DWORD ScrollStepMs(SpeedCode code);

// The row's text: its bytes after the speed code, up to the first zero.
std::string RowTextOf(const BYTE* record, int row);

// The 20 columns of a row of a 128-byte record, elapsedMs after power-up.
// Bytes the module cannot show are drawn as '?', DEL as '#'.
std::string RowWindow(const BYTE* record, int row, unsigned long long elapsedMs);

// Both rows in a frame of four lines, each ended by a line feed:
//   +--------------------+
//   |QV rm7700 All-in-One|
//   | .... Thank You and |
//   +--------------------+
std::string RenderDisplayFrame(const BYTE* record, unsigned long long elapsedMs);

#endif  // VFD_STARTUP_VIEW_H

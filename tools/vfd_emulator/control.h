// Control commands that change a running emulator: written by tests into its
// control file (one command a line), or given on its command line.
#ifndef VFD_EMULATOR_CONTROL_H
#define VFD_EMULATOR_CONTROL_H

#include <string>
#include <vector>

#include "device.h"

// What the main loop has to do after a command was applied to the device.
struct ControlEffects {
  bool resetLog = false;
  bool quit = false;
  bool powerCycle = false;
  bool recordChanged = false;  // save it and restart the display
  bool linesChanged = false;   // republish the modem lines (CTS)
  int busy = -1;               // 1: make the port fail to open, 0: open again
};

// Applies one command line; on a bad command leaves the state alone and
// returns false with a reason.
bool ApplyControlCommand(DeviceState& state, const std::string& line, ControlEffects& effects,
                         std::string& error);

// Splits at blanks; "double quoted" words may hold blanks and escapes.
bool SplitControlWords(const std::string& line, std::vector<std::string>& words, std::string& error);

// C-like escapes: \xNN, \0, \t, \r, \n, \\, \" ; everything else as is.
bool UnescapeText(const std::string& text, Bytes& out, std::string& error);
// The other way round, for logs and printouts: printable ASCII as is.
std::string EscapeText(const uint8_t* bytes, size_t count);

// Hexadecimal digit pairs; blanks, ':' and '-' between pairs are allowed.
bool ParseHexBytes(const std::string& text, Bytes& out);
std::string HexString(const uint8_t* bytes, size_t count);

// The help text of the control commands, shared with --help.
const char* ControlCommandHelp();

#endif

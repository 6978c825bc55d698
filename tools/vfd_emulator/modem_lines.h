// The modem lines of an emulated port. A pty has none, so Wine's
// GetCommModemStatus fails on it; the LD_PRELOAD fixture (tools/modem_preload)
// answers TIOCMGET on the slave from a small state file that the emulator
// publishes here, and records the DTR and RTS that the program sets.
//
//   <link>.lines            "pid=P cts=1 dsr=1 dcd=0 ri=0"   written by us
//   <dir>/pts-N             symlink to <link>.lines, found by the fixture
//                           from the slave's /dev/pts/N
//   <dir>/pts-N.out         "dtr=1 rts=1"                    written by the fixture
// <dir> is $VFD_MODEM_LINES_DIR, else /tmp/vfd-modem-lines.
#ifndef VFD_EMULATOR_MODEM_LINES_H
#define VFD_EMULATOR_MODEM_LINES_H

#include <string>

struct ModemLines {
  std::string statePath;    // <link>.lines
  std::string entryPath;    // <dir>/pts-N
  std::string hostPath;     // <dir>/pts-N.out
};

// What the program last set through the fixture; known = false before that.
struct HostLines {
  bool known = false;
  bool dtr = false;
  bool rts = false;
};

std::string ModemLinesDir();
// Makes <dir> if it is not there (a machine where no emulator ran yet); every
// file and socket of a line lives in it, so this comes first.
bool MakeModemLinesDir(std::string& error);
bool PublishModemLines(ModemLines& lines, const std::string& link, const std::string& slavePath,
                       bool ctsUp, std::string& error);
void WithdrawModemLines(ModemLines& lines);
HostLines ReadHostLines(const ModemLines& lines);

#endif

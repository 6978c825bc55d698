// For Windows test programs running inside the Wine rig: reach the emulated
// display modules' files through drive Z: (Wine maps it to /).
//
//   RigControl(L"COM1", "mode silent");      // applied when this returns true
//   std::vector<std::string> log = RigLogLines(L"COM1");
//
// The rig directory comes from the environment variable VFD_RIG_DIR, which
// Wine passes on from the Unix side. Per port (lower-case name) it holds:
//   vfd-com1.ctl  control file (append one command a line)
//   vfd-com1.ctl.ack  "<lines done> ok" or "<lines done> error: ..."
//   vfd-com1.log  JSON-lines log   vfd-com1.rec  the stored 128-byte record
// (never com1.log: Windows opens the device COM1 for any name COM1.xxx).
#ifndef VFD_RIG_CLIENT_H
#define VFD_RIG_CLIENT_H

#include <windows.h>

#include <string>
#include <vector>

// How long a test waits at most for an emulator to take a control command
// or to log an event: far more than it takes on a busy machine, so that only
// a failure ever waits that long. (The emulator logs a program's open and
// close before the call returns to the program, so a test that waits for one
// of those after the call never waits at all.)
const DWORD RigWaitMs = 30000;

// True when VFD_RIG_DIR is set (the program runs inside a rig).
bool RigAvailable();

// Z:\...\com1<suffix> for port L"COM1" and suffix L".log"; empty outside a rig.
std::wstring RigPortFile(const wchar_t* port, const wchar_t* suffix);

// Appends a control command for the port's emulator and waits until it has
// been applied (its .ack counts it). False on an error reply or a timeout;
// the reason goes to *error when given.
bool RigControl(const wchar_t* port, const std::string& command, DWORD timeoutMs = RigWaitMs,
                std::string* error = nullptr);

// The whole file; empty when it cannot be read.
std::string RigReadFile(const std::wstring& path);

// The port's log, one JSON object a line.
std::vector<std::string> RigLogLines(const wchar_t* port);

// Waits until a log line contains every fragment (e.g. "\"event\":\"close\"");
// returns that line, or an empty string after timeoutMs.
std::string RigWaitForLog(const wchar_t* port, const std::vector<std::string>& fragments,
                          DWORD timeoutMs = RigWaitMs);

// The emulator's stored record (128 bytes), or an empty string.
std::string RigStoredRecord(const wchar_t* port);

#endif

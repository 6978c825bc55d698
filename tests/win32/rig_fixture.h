// What the Windows-side tests need from the Wine rig beyond rig_client.h:
// the emulators put back to a known state, the registry as a case wants it
// (written with the registry API from inside Wine, so no reg.exe run per
// case), and the emulator's JSON log read as events, bytes and line settings.
//
// The tests expect the rig's default emulators on COM1 and COM2.
#ifndef VFD_WIN32_RIG_FIXTURE_H
#define VFD_WIN32_RIG_FIXTURE_H

#include <windows.h>

#include <string>
#include <vector>

#include "rig_client.h"

// ---- emulators --------------------------------------------------------------

// Control commands in order, applied when this returns; false when the
// emulator refused one (since its log was last emptied) or did not
// acknowledge them (the reason goes to stderr).
bool Emulator(const wchar_t* port, const std::vector<std::string>& commands);

// The log emptied, open for use, normal answers, the accepted product type,
// no delay, out of set-up mode, the factory default stored.
bool ResetEmulator(const wchar_t* port);

// ---- the emulator's log -------------------------------------------------------

struct LogEvent {
  std::string event;
  std::string json;  // the whole line
};

std::vector<LogEvent> LogEvents(const wchar_t* port);
std::vector<LogEvent> EventsNamed(const wchar_t* port, const std::string& event);

// Waits until the log holds at least `count` events of that name; returns the
// last of them, or an empty event after timeoutMs.
LogEvent WaitForEvent(const wchar_t* port, const std::string& event, size_t count = 1,
                      DWORD timeoutMs = RigWaitMs);

// The raw JSON text of a field of the line: "line" gives {...}, "name" gives
// "enter" with its quotes. Empty when missing.
std::string JsonField(const std::string& json, const std::string& key);

// Every byte the emulator received, in order.
std::vector<BYTE> ReceivedBytes(const wchar_t* port);

// The names of the commands the emulator recognised, in order.
std::vector<std::string> CommandNames(const wchar_t* port);

// Puts the port at settings no profile uses (19200 8N2, XON/XOFF, DTR and
// RTS low) through a plain open, SetCommState and close, and returns the
// line the emulator logged at that close: what a restore must bring back.
// The log is emptied afterwards, so the case's own events start it.
std::string SetForeignLineSettings(const wchar_t* port);

// ---- registry ---------------------------------------------------------------

struct SerialCommValue {
  std::wstring name;
  DWORD type;          // REG_SZ or REG_DWORD
  std::wstring text;   // REG_SZ data
  DWORD number;        // REG_DWORD data
};

SerialCommValue PortValue(const std::wstring& name, const std::wstring& port);
SerialCommValue DwordValue(const std::wstring& name, DWORD number);

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM holds exactly these values, written in
// this order (the key is volatile, as Wine's own).
bool SetSerialComm(const std::vector<SerialCommValue>& values);
// The rig's default: \Device\Serial0 = COM1, \Device\Serial1 = COM2.
bool SetDefaultSerialComm();
bool DeleteSerialCommKey();

// The OPOS "Port" value in one view of SOFTWARE: KEY_WOW64_32KEY (what the
// program, a 32-bit process, reads) or KEY_WOW64_64KEY.
bool SetOposPort(REGSAM view, const std::wstring& port);
void DeleteOposPort(REGSAM view);

// The emulators on COM1 and COM2 reset, the default port list, no OPOS
// port in either view. Every case starts and ends with it, so that the next
// program in the rig finds it as it was brought up.
bool ResetRigState();

// Handles this process holds, from the system's handle table
// (NtQuerySystemInformation; Wine's GetProcessHandleCount always gives 0).
// Zero when the table cannot be read.
DWORD OpenHandleCount();

// Milliseconds since an arbitrary start, with sub-millisecond resolution.
double NowMs();

#endif  // VFD_WIN32_RIG_FIXTURE_H

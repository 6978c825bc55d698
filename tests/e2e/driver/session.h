// One run of vfdstartup.exe as the scenarios see it, and the steps that
// most of them share: start and find the dialog, fill it in, answer a box,
// check the display's stored record and log, end with "Exit".
#ifndef VFD_E2E_SESSION_H
#define VFD_E2E_SESSION_H

#include <windows.h>

#include <string>

#include "checks.h"
#include "scenarios.h"
#include "ui_automation.h"

// The dialog's controls, by the identifiers of its template. Written out
// here rather than taken from the program's resource header, so that a
// wrong identifier there shows up as a control the driver cannot find.
#define IDC_FACTORY_DEFAULT 1007
#define IDC_EXIT 1008
#define IDC_WRITE 1009
#define IDC_PORT 1020
#define IDC_SPEED 1021
#define IDC_ROW0 1022
#define IDC_ROW1 1023

const wchar_t DialogCaption[] = L"QV rm7700 Line Display  Startup Message";
// A write sequence with a silent display takes 5 s per reply; ours answer,
// and a hang-up turns the last reply into 50 empty polls before the failed
// write.
const DWORD BoxTimeoutMs = 20000;
const DWORD StepTimeoutMs = 5000;

struct Session {
  ProgramRun run;
  HWND dialog;
};

bool OpenSession(const DriverOptions& options, Session* session);
HWND Control(const Session& session, int identifier);
DWORD DialogThread(const Session& session);
void ExpectCleanExit(Session* session, const std::string& how);
void CloseWithExit(Session* session);
// Rows and speed (its position in the list); false when a field did not
// take its value. PressWrite clicks "Write to VFD" afterwards.
bool FillFields(const Session& session, const std::wstring& row0, const std::wstring& row1, int speed);
bool PressWrite(const Session& session, const std::wstring& row0, const std::wstring& row1, int speed);

// A box must be owned by the dialog, have only an OK button and no icon,
// and read exactly so (texts in UTF-8, as tests/common has them).
bool CheckBox(const Session& session, const SeenBox& box, const std::string& caption, const std::string& text);
// Waits for the next box, checks it and closes it with OK.
bool ExpectBox(const Session& session, const std::string& caption, const std::string& text);
// "Startup Message write successful" with the accepted product type.
bool ExpectWriteOkBox(const Session& session);
void ExpectNoFurtherBox(const Session& session);

ByteList ReadRecordFile(const std::wstring& path);
void ExpectStoredRecord(const DriverOptions& options, const ByteList& expected, const std::string& what);
// The 128-byte record of two rows at the speed in that list position.
ByteList RecordAt(int speed, const std::wstring& row0, const std::wstring& row1);

// Events of a kind ("open", "close") in the port's emulator log.
size_t CountLogEvents(const std::wstring& port, const std::string& event);
// The emulator sees opens and closes by watching the pty; the next press
// must not start before it has seen this one's close, or the two would
// merge into one in its log.
bool WaitForLogEvents(const std::wstring& port, const std::string& event, size_t count);

#endif  // VFD_E2E_SESSION_H

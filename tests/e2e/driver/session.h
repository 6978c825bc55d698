// One run of vfdstartup.exe as the scenarios see it, and the steps that
// most of them share: start and find the dialog, answer a box, check the
// display's stored record, end with "Exit".
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
const int IDC_FACTORY_DEFAULT = 1007;
const int IDC_EXIT = 1008;
const int IDC_WRITE = 1009;
const int IDC_PORT = 1020;
const int IDC_SPEED = 1021;
const int IDC_ROW0 = 1022;
const int IDC_ROW1 = 1023;

const wchar_t kAcceptedProductType[] = L"CU20029T307A01 ";

struct Session {
  ProgramRun run;
  HWND dialog;
};

bool OpenSession(const DriverOptions& options, Session* session);
HWND Control(const Session& session, int identifier);
DWORD DialogThread(const Session& session);
void ExpectCleanExit(Session* session, const std::string& how);
void CloseWithExit(Session* session);
// The next box must be owned by the dialog and read exactly so; OK closes it.
bool ExpectBox(const Session& session, const std::wstring& caption, const std::wstring& text);
void ExpectNoFurtherBox(const Session& session);
ByteString ReadRecordFile(const std::wstring& path);
void ExpectStoredRecord(const DriverOptions& options, const ByteString& expected, const std::string& what);
// The 128-byte record: per row the speed code, then the text, zero-filled.
ByteString MakeRecord(BYTE speedCode, const std::wstring& row0, const std::wstring& row1);

#endif  // VFD_E2E_SESSION_H

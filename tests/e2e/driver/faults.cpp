// Fault scenarios: the display (or the port under it) misbehaves during one
// "Write to VFD" press. Each scenario checks the boxes of that press in
// order, that the port was closed after the last one, and that the dialog
// still works: once the display is back to normal, a second press stores a
// new record.
#include "faults.h"

#include <cstdio>

#include "rig_client.h"
#include "session.h"

namespace {

const DWORD kCloseTimeoutMs = 3000;
const DWORD kHelperTimeoutMs = 5000;
// A hang-up turns the last reply into 50 empty polls before the failed write.
const DWORD kFaultBoxTimeoutMs = 20000;

struct ExpectedBox {
  std::wstring caption;
  std::wstring text;
};

// What the display's log can show of the fault press's port.
enum PortSeen {
  kNotOpened,  // the press never reaches the display
  kClosed,     // opened, and closed after the last box
  kHungUp,     // the program closes a pty that the emulator has already replaced
};

struct FaultCase {
  const char* inject;   // control command, or "unlink" for the port's link
  const char* recover;  // control command, or "relink"
  std::vector<ExpectedBox> boxes;
  PortSeen port;
  bool storesRecord;    // the fault press itself stores the record
};

std::wstring PortName(const DriverOptions& options) { return options.port.empty() ? L"COM3" : options.port; }

size_t CountEvents(const std::wstring& port, const std::string& event) {
  size_t count = 0;
  for (const std::string& line : RigLogLines(port.c_str())) {
    count += line.find("\"event\":\"" + event + "\"") != std::string::npos ? 1 : 0;
  }
  return count;
}

// The emulator sees opens and closes by watching the pty; the next press
// must not start before it has seen this one's close, or the two would
// merge into one in its log.
bool WaitForCloses(const std::wstring& port, size_t count) {
  DWORD deadline = DeadlineIn(kCloseTimeoutMs);
  while (CountEvents(port, "close") < count) {
    if (IsPast(deadline)) {
      return false;
    }
    Sleep(20);
  }
  return true;
}

// The port's dosdevices link is moved away and back by the Linux side of
// the test (run_case.sh), which answers requests left in the rig folder.
bool AskLinuxSide(const std::string& request) {
  std::wstring file = RigPortFile(L"helper", L".request");
  std::wstring done = RigPortFile(L"helper", L".done");
  DeleteFileW(done.c_str());
  FILE* out = _wfopen(file.c_str(), L"wb");
  if (out == nullptr) {
    return false;
  }
  std::fprintf(out, "%s\n", request.c_str());
  std::fclose(out);
  DWORD deadline = DeadlineIn(kHelperTimeoutMs);
  while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (IsPast(deadline)) {
      return false;
    }
    Sleep(20);
  }
  return RigReadFile(done).compare(0, 2, "ok") == 0;
}

bool Apply(const std::wstring& port, const std::string& command) {
  if (command == "unlink" || command == "relink") {
    return Expect(AskLinuxSide(command + " " + ToUtf8(port)), command + " " + ToUtf8(port));
  }
  std::string error;
  return Expect(RigControl(port.c_str(), command, 5000, &error), "emulator: " + command.substr(0, 60) + " " + error);
}

bool ExpectFaultBox(const Session& session, const ExpectedBox& expected) {
  SeenBox box = {};
  if (!Expect(WaitForBox(session.run.info.dwProcessId, session.dialog, kFaultBoxTimeoutMs, &box),
              "a message box appears (\"" + ToUtf8(expected.caption) + "\")")) {
    return false;
  }
  bool ok = ExpectText(box.caption, expected.caption, "box caption");
  ok = ExpectText(box.text, expected.text, "box text") && ok;
  ok = Expect(box.owner == session.dialog, "the box is owned by the dialog") && ok;
  return Expect(DismissBox(box, 5000), "OK closes the box") && ok;
}

void PressWrite(const Session& session, const std::wstring& row0, const std::wstring& row1, int speed) {
  WriteText(Control(session, IDC_ROW0), row0);
  WriteText(Control(session, IDC_ROW1), row1);
  SelectComboItem(Control(session, IDC_SPEED), speed);
  ClickButton(Control(session, IDC_WRITE));
}

void ExpectSuccessBox(const Session& session) {
  ExpectFaultBox(session, {L"Startup Message write successful",
                           std::wstring(L"Product type: ") + kAcceptedProductType + L"\r\nStartup Message write: (OK)     "});
}

// The fault press: its boxes in order, nothing after them, the port closed.
void PressUnderFault(const Session& session, const DriverOptions& options, const FaultCase& fault) {
  std::wstring port = PortName(options);
  ByteString before = ReadRecordFile(options.record);
  size_t opens = CountEvents(port, "open");
  size_t closes = CountEvents(port, "close");
  DWORD started = GetTickCount();
  PressWrite(session, L"Fault press row 0", L"Fault press row 1", 2);
  for (const ExpectedBox& box : fault.boxes) {
    ExpectFaultBox(session, box);
  }
  Note("fault press ended after " + std::to_string(GetTickCount() - started) + " ms");
  ExpectNoFurtherBox(session);
  if (fault.port == kClosed) {
    Expect(WaitForCloses(port, closes + 1), "the port is closed after the last box");
  } else if (fault.port == kNotOpened) {
    Sleep(300);
    ExpectNumber(static_cast<long long>(CountEvents(port, "open")), static_cast<long long>(opens),
                 "opens of the display's port during the press");
  }
  if (fault.storesRecord) {
    ExpectStoredRecord(options, MakeRecord(0x12, L"Fault press row 0", L"Fault press row 1"), "record stored");
  } else {
    ExpectBytes(ReadRecordFile(options.record), before, "stored record unchanged by the fault press");
  }
}

// After the display is back to normal, the same dialog writes again.
void PressAfterRecovery(const Session& session, const DriverOptions& options) {
  std::wstring port = PortName(options);
  size_t closes = CountEvents(port, "close");
  PressWrite(session, L"Written after the fault", L"The dialog still works", 4);
  ExpectSuccessBox(session);
  ExpectNoFurtherBox(session);
  Expect(WaitForCloses(port, closes + 1), "the port is closed after the second press");
  ExpectStoredRecord(options, MakeRecord(0x14, L"Written after the fault", L"The dialog still works"),
                     "record stored by the second press");
}

void RunFault(const DriverOptions& options, const FaultCase& fault) {
  Session session = {};
  if (!OpenSession(options, &session)) {
    return;
  }
  std::wstring port = PortName(options);
  ExpectText(ReadText(Control(session, IDC_PORT)), port, "port field");
  if (!WaitForCloses(port, 1) || !Apply(port, fault.inject)) {
    EndProgram(&session.run);
    return;
  }
  PressUnderFault(session, options, fault);
  if (Apply(port, fault.recover)) {
    PressAfterRecovery(session, options);
  }
  CloseWithExit(&session);
}

std::wstring FailedOutcome(const std::wstring& productType) {
  return L"Product type: " + productType + L"\r\nStartup Message write: (failed) ";
}

// 6000 bytes of 0xA5: more than the 4096-byte receive buffer.
std::string FloodCommand() {
  std::string command = "mode garbage ";
  for (int i = 0; i < 6000; ++i) {
    command += "a5";
  }
  return command;
}

void RunHangup(const DriverOptions& options) {
  RunFault(options, {"mode hangup", "mode normal", {{L"Error.", L"Error writing to COM port."}}, kHungUp, false});
}

void RunGarbage(const DriverOptions& options) {
  RunFault(options, {"mode garbage", "mode normal", {{L"Startup Message write failed", FailedOutcome(L"")}}, kClosed,
                     false});
}

void RunFlood(const DriverOptions& options) {
  static const std::string flood = FloodCommand();
  RunFault(options, {flood.c_str(), "mode normal", {{L"Startup Message write failed", FailedOutcome(L"")}}, kClosed,
                     false});
}

void RunTrickle(const DriverOptions& options) {
  RunFault(options, {"mode trickle 100", "mode normal",
                     {{L"Startup Message write successful",
                       std::wstring(L"Product type: ") + kAcceptedProductType + L"\r\nStartup Message write: (OK)     "}},
                     kClosed, true});
}

// %s stops at the zero byte: the boxes show the product type up to it.
void RunProductTypeZero(const DriverOptions& options) {
  RunFault(options,
           {"product-type \"CU20029\\x00307A01 \"", "product-type default",
            {{L"Error: Incompatible VFD module",
              L"Product type: CU20029\r\n\r\n\r\nVFD Module must be CU20029-T307A-01 "},
             {L"Startup Message write failed", FailedOutcome(L"CU20029")}},
            kClosed, false});
}

void RunBusy(const DriverOptions& options) {
  RunFault(options, {"busy on", "busy off", {{L"Error.  Could not open COM port:", PortName(options)}}, kNotOpened,
                     false});
}

void RunLinkGone(const DriverOptions& options) {
  RunFault(options, {"unlink", "relink", {{L"Error.  Could not open COM port:", PortName(options)}}, kNotOpened, false});
}

}  // namespace

const std::vector<Scenario>& FaultScenarios() {
  static const std::vector<Scenario> scenarios = {
      {"fault-hangup", RunHangup, true},
      {"fault-garbage", RunGarbage, true},
      {"fault-flood", RunFlood, true},
      {"fault-trickle", RunTrickle, true},
      {"fault-product-zero", RunProductTypeZero, true},
      {"fault-busy", RunBusy, true},
      {"fault-link-gone", RunLinkGone, true},
  };
  return scenarios;
}

// The fault scenario: the display (or the port under it) misbehaves during
// one "Write to VFD" press. It checks the boxes of that press in order, that
// the port was closed after the last one, and that the dialog still works:
// once the display is back to normal, a second press stores a new record.
#include "faults.h"

#include <cstdio>

#include "rig_client.h"
#include "session.h"

namespace {

const DWORD HelperTimeoutMs = RigWaitMs;  // the Linux side looks every 50 ms

struct ExpectedBox {
  std::string caption;
  std::string text;
};

// The box a name of --boxes stands for, with --product and --port in it.
ExpectedBox NamedBox(const std::wstring& name, const DriverOptions& options) {
  using namespace expected::text;
  std::string productType = ToUtf8(options.productType);
  if (name == L"ok") {
    return {CaptionWriteOk, expected::Format(WriteOk, productType)};
  } else if (name == L"failed") {
    return {CaptionWriteFailed, expected::Format(WriteFailed, productType)};
  } else if (name == L"incompatible") {
    return {CaptionIncompatible, expected::Format(Incompatible, productType)};
  } else if (name == L"write-error") {
    return {CaptionError, WriteError};
  } else if (name == L"open-failed") {
    return {CaptionOpenFailed, ToUtf8(options.port)};
  }
  return {"(no box is named " + ToUtf8(name) + ")", ""};
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
  return WaitUntil(HelperTimeoutMs, [&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }) &&
         RigReadFile(done).compare(0, 2, "ok") == 0;
}

// "flood": 6000 bytes of 0xA5 instead of every reply, more than the
// 4096-byte receive buffer; "unlink", "relink": the port's link; anything
// else goes to the emulator as it is.
bool Apply(const std::wstring& port, const std::wstring& what) {
  std::string command = ToUtf8(what);
  if (command == "unlink" || command == "relink") {
    return Expect(AskLinuxSide(command + " " + ToUtf8(port)), command + " " + ToUtf8(port));
  }
  if (command == "flood") {
    command = "mode garbage ";
    for (int i = 0; i < 6000; ++i) {
      command += "a5";
    }
  }
  std::string error;
  return Expect(RigControl(port.c_str(), command, RigWaitMs, &error), "emulator: " + command.substr(0, 60) + " " + error);
}

// The fault press: its boxes in order, nothing after them, the port closed.
// It stores its record exactly when its last box reports success.
void PressUnderFault(const Session& session, const DriverOptions& options) {
  ByteList before = ReadRecordFile(options.record);
  size_t opens = CountLogEvents(options.port, "open");
  size_t closes = CountLogEvents(options.port, "close");
  DWORD started = GetTickCount();
  PressWrite(session, L"Fault press row 0", L"Fault press row 1", 2);
  for (const std::wstring& name : options.boxes) {
    ExpectedBox box = NamedBox(name, options);
    ExpectBox(session, box.caption, box.text);
  }
  Note("fault press ended after " + std::to_string(GetTickCount() - started) + " ms");
  ExpectNoFurtherBox(session);
  if (options.portSeen == L"closed") {
    Expect(WaitForLogEvents(options.port, "close", closes + 1), "the port is closed after the last box");
  } else if (options.portSeen == L"not-opened") {
    // An open would be in the log before the program's open call returned.
    ExpectNumber(static_cast<long long>(CountLogEvents(options.port, "open")), static_cast<long long>(opens),
                 "opens of the display's port during the press");
  }
  if (!options.boxes.empty() && options.boxes.back() == L"ok") {
    ExpectStoredRecord(options, RecordAt(2, L"Fault press row 0", L"Fault press row 1"), "record stored");
  } else {
    ExpectBytes(ReadRecordFile(options.record), before, "stored record unchanged by the fault press");
  }
}

// After the display is back to normal, the same dialog writes again.
void PressAfterRecovery(const Session& session, const DriverOptions& options) {
  size_t closes = CountLogEvents(options.port, "close");
  PressWrite(session, L"Written after the fault", L"The dialog still works", 4);
  ExpectWriteOkBox(session);
  ExpectNoFurtherBox(session);
  Expect(WaitForLogEvents(options.port, "close", closes + 1), "the port is closed after the second press");
  ExpectStoredRecord(options, RecordAt(4, L"Written after the fault", L"The dialog still works"),
                     "record stored by the second press");
}

}  // namespace

void RunFault(Session& session, const DriverOptions& options) {
  ExpectText(ReadText(Control(session, IDC_PORT)), options.port, "port field");
  if (!WaitForLogEvents(options.port, "close", 1) || !Apply(options.port, options.inject)) {
    return;
  }
  PressUnderFault(session, options);
  if (Apply(options.port, options.recover)) {
    PressAfterRecovery(session, options);
  }
  CloseWithExit(&session);
}

// rig_selftest: proves the Wine rig from the Windows side, and shows what the
// emulator's fault modes look like to a program.
//
//   rig_selftest check     COM1 and COM2 answer, the log and the modem lines
//                          work, the port opens and closes repeatedly (exit 0/1)
//   rig_selftest observe   prints what the serial calls do on an emulated port
//                          (run it with and without the modem-lines fixture)
//   rig_selftest faults    runs a write exchange against each fault mode of
//                          COM1 and prints what arrived
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "protocol_expected.h"
#include "rig_client.h"

namespace {

int Failures = 0;

void Check(bool ok, const char* what, const std::string& detail = "") {
  std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
  if (!ok) ++Failures;
}

HANDLE OpenCom(const wchar_t* port) {
  std::wstring path = std::wstring(L"\\\\.\\") + port;
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// 38400 8N1, DTR and RTS raised, CTS output handshake as asked.
BOOL ApplyProfile(HANDLE port, bool ctsHandshake) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return FALSE;
  dcb.BaudRate = 38400;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = ctsHandshake;
  return SetCommState(port, &dcb);
}

BOOL ApplyTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 2, 5000};
  return SetCommTimeouts(port, &timeouts);
}

struct Reply {
  bool readError = false;
  DWORD error = 0;
  std::vector<BYTE> bytes;
  DWORD ms = 0;
};

// Collects at least `minimum` bytes: 1 ms after each piece, up to `polls`
// empty reads 100 ms apart before giving up.
Reply ReadReply(HANDLE port, DWORD minimum, int polls = 50) {
  Reply reply;
  DWORD start = GetTickCount();
  BYTE buffer[4096];
  int silence = 0;
  while (reply.bytes.size() < minimum && silence < polls) {
    DWORD got = 0;
    if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) {
      reply.readError = true;
      reply.error = GetLastError();
      break;
    }
    reply.bytes.insert(reply.bytes.end(), buffer, buffer + got);
    silence = got > 0 ? 0 : silence + 1;
    Sleep(got > 0 ? 1 : 100);
  }
  reply.ms = GetTickCount() - start;
  return reply;
}

bool Drain(HANDLE port, DWORD* drained = nullptr) {
  BYTE buffer[64];
  DWORD got = 0, total = 0;
  if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) return false;
  total += got;
  do {
    if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) return false;
    total += got;
  } while (got > 0);
  if (drained) *drained = total;
  return true;
}

bool WriteAll(HANDLE port, const expected::ByteList& bytes, DWORD* error = nullptr) {
  DWORD written = 0;
  DWORD count = static_cast<DWORD>(bytes.size());
  BOOL ok = WriteFile(port, bytes.data(), count, &written, nullptr);
  if (!ok && error) *error = GetLastError();
  return ok && written == count;
}

std::string Describe(const Reply& reply) {
  char head[64];
  if (reply.readError) {
    std::snprintf(head, sizeof head, "read error %lu after %lu ms", reply.error, reply.ms);
    return head;
  }
  std::snprintf(head, sizeof head, "%u bytes in %lu ms: ", static_cast<unsigned>(reply.bytes.size()), reply.ms);
  return head + HexOf(reply.bytes);
}

DWORD ModemStatus(HANDLE port, BOOL* ok) {
  DWORD status = 0;
  *ok = GetCommModemStatus(port, &status);
  return status;
}

// ---- check ------------------------------------------------------------------

void CheckExchange(const wchar_t* name) {
  HANDLE port = OpenCom(name);
  Check(port != INVALID_HANDLE_VALUE, "open port", std::to_string(GetLastError()));
  if (port == INVALID_HANDLE_VALUE) return;
  Check(ApplyProfile(port, true), "SetCommState 38400 8N1 CTS handshake");
  Check(ApplyTimeouts(port), "SetCommTimeouts");
  BOOL modemOk = FALSE;
  DWORD status = ModemStatus(port, &modemOk);
  Check(modemOk && (status & MS_CTS_ON), "GetCommModemStatus reports CTS", std::to_string(status));
  Check(Drain(port) && WriteAll(port, expected::EnterCommand), "write enter");
  Reply enter = ReadReply(port, 4, 20);
  Check(enter.bytes == expected::EnterAccepted, "enter reply", Describe(enter));
  Check(Drain(port) && WriteAll(port, expected::QueryCommand), "write query");
  Reply query = ReadReply(port, 18, 20);
  expected::ByteList type = expected::ProductTypeReply(expected::AcceptedProductType);
  Check(query.bytes == type, "product type", Describe(query));
  Check(WriteAll(port, expected::ExitCommand), "write exit");
  Sleep(50);
  CloseHandle(port);
}

void CheckLog() {
  std::string command = RigWaitForLog(L"COM1", {"\"event\":\"command\"", "\"name\":\"enter\""});
  Check(command.find("\"baud\":38400") != std::string::npos &&
            command.find("\"crtscts\":true") != std::string::npos &&
            command.find("\"data_bits\":8") != std::string::npos,
        "log: enter seen at 38400 8N1 with CRTSCTS", command);
  std::string close = RigWaitForLog(L"COM1", {"\"event\":\"close\""});
  Check(!close.empty(), "log: close of the port seen", close);
}

void CheckModemLines() {
  std::string error;
  Check(RigControl(L"COM1", "mode cts-down", 5000, &error), "control: mode cts-down", error);
  HANDLE port = OpenCom(L"COM1");
  BOOL ok = FALSE;
  DWORD status = ModemStatus(port, &ok);
  Check(ok && !(status & MS_CTS_ON), "CTS down reported", std::to_string(status));
  CloseHandle(port);
  Check(RigControl(L"COM1", "mode normal", 5000, &error), "control: mode normal", error);
  port = OpenCom(L"COM1");
  status = ModemStatus(port, &ok);
  Check(ok && (status & MS_CTS_ON), "CTS up again", std::to_string(status));
  CloseHandle(port);
  std::string bad;
  Check(!RigControl(L"COM1", "mode nonsense", 5000, &bad) && bad.find("error") != std::string::npos,
        "control: a bad command is refused", bad);
}

void CheckSilentSecondPort() {
  std::string error;
  Check(RigControl(L"COM2", "mode silent", 5000, &error), "control COM2: mode silent", error);
  HANDLE port = OpenCom(L"COM2");
  Check(port != INVALID_HANDLE_VALUE && ApplyProfile(port, false) && ApplyTimeouts(port), "open COM2");
  WriteAll(port, expected::EnterCommand);
  Reply reply = ReadReply(port, 4, 5);
  Check(reply.bytes.empty() && !reply.readError, "COM2 silent", Describe(reply));
  CloseHandle(port);
  RigControl(L"COM2", "mode normal");
}

void CheckBusy() {
  RigControl(L"COM2", "busy on");
  HANDLE port = OpenCom(L"COM2");
  DWORD error = GetLastError();
  Check(port == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED, "busy port fails to open",
        std::to_string(error));
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
  RigControl(L"COM2", "busy off");
  port = OpenCom(L"COM2");
  Check(port != INVALID_HANDLE_VALUE, "opens again after busy off");
  CloseHandle(port);
}

void CheckReopening() {
  int opened = 0;
  for (int i = 0; i < 20; ++i) {
    HANDLE port = OpenCom(L"COM1");
    if (port == INVALID_HANDLE_VALUE) continue;
    ApplyProfile(port, i % 2 == 0);
    ApplyTimeouts(port);
    bool answered = WriteAll(port, expected::EnterCommand) && ReadReply(port, 4, 20).bytes.size() == 4;
    opened += answered;
    WriteAll(port, expected::ExitCommand);
    CloseHandle(port);
  }
  Check(opened == 20, "20 open/exchange/close rounds", std::to_string(opened));
}

int RunCheck() {
  Check(RigAvailable(), "inside a rig (VFD_RIG_DIR)");
  Check(RigControl(L"COM1", "reset-log"), "control: reset-log");
  CheckExchange(L"COM1");
  CheckLog();
  CheckModemLines();
  CheckSilentSecondPort();
  CheckBusy();
  CheckReopening();
  std::printf("%s: %d failure(s)\n", Failures ? "FAILED" : "PASSED", Failures);
  return Failures ? 1 : 0;
}

// ---- observe ----------------------------------------------------------------

void Observe(const char* call, BOOL ok) {
  std::printf("%-28s %s (error %lu)\n", call, ok ? "TRUE" : "FALSE", ok ? 0 : GetLastError());
}

int RunObserve() {
  HANDLE port = OpenCom(L"COM1");
  Observe("CreateFileW \\\\.\\COM1", port != INVALID_HANDLE_VALUE);
  HANDLE second = OpenCom(L"COM1");
  Observe("second CreateFileW, no sharing", second != INVALID_HANDLE_VALUE);
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  Observe("GetCommState", GetCommState(port, &dcb));
  std::printf("  initial DCB: %lu baud, %d data bits, parity %d, stop %d, dtr %d, rts %d, cts flow %d\n",
              dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fDtrControl, dcb.fRtsControl,
              dcb.fOutxCtsFlow);
  Observe("SetCommState (write profile)", ApplyProfile(port, true));
  Observe("SetCommTimeouts", ApplyTimeouts(port));
  Observe("PurgeComm (all four flags)",
          PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  BOOL ok = FALSE;
  SetLastError(0);
  DWORD status = ModemStatus(port, &ok);
  Observe("GetCommModemStatus", ok);
  std::printf("  modem status 0x%02lx (CTS %s, DSR %s)\n", status, (status & MS_CTS_ON) ? "on" : "off",
              (status & MS_DSR_ON) ? "on" : "off");
  Observe("EscapeCommFunction SETDTR", EscapeCommFunction(port, SETDTR));
  Observe("EscapeCommFunction CLRRTS", EscapeCommFunction(port, CLRRTS));
  Observe("EscapeCommFunction SETRTS", EscapeCommFunction(port, SETRTS));
  Observe("SetCommState (probe profile)", ApplyProfile(port, false));
  CloseHandle(port);
  return 0;
}

// ---- faults -----------------------------------------------------------------

void ShowExchange(const wchar_t* name) {
  HANDLE port = OpenCom(name);
  if (port == INVALID_HANDLE_VALUE) {
    std::printf("  open failed: %lu\n", GetLastError());
    return;
  }
  ApplyProfile(port, true);
  ApplyTimeouts(port);
  BOOL ok = FALSE;
  DWORD status = ModemStatus(port, &ok);
  std::printf("  modem status: %s 0x%02lx\n", ok ? "ok" : "failed", status);
  DWORD drained = 0, error = 0;
  Drain(port);
  bool wrote = WriteAll(port, expected::EnterCommand, &error);
  std::printf("  enter   : %s\n", wrote ? Describe(ReadReply(port, 4)).c_str() : "write failed");
  Sleep(10);
  Drain(port, &drained);
  wrote = WriteAll(port, expected::QueryCommand, &error);
  std::printf("  query   : %s (drained %lu before)\n", wrote ? Describe(ReadReply(port, 18)).c_str() : "write failed",
              drained);
  Sleep(10);
  Drain(port, &drained);
  expected::ByteList record = expected::Record(0x13, "Rig", "");
  bool sent = WriteAll(port, expected::WriteCommand, &error);
  Sleep(50);
  sent = sent && WriteAll(port, expected::ByteList(record.begin(), record.begin() + expected::RowSize), &error);
  sent = sent && WriteAll(port, expected::ByteList(record.begin() + expected::RowSize, record.end()), &error);
  Sleep(100);
  std::string confirm = sent ? Describe(ReadReply(port, 4)) : "write failed, error " + std::to_string(error);
  std::printf("  record  : %s (drained %lu before)\n", confirm.c_str(), drained);
  Sleep(10);
  bool drainedOk = Drain(port, &drained);
  std::printf("  drain   : %s, %lu bytes\n", drainedOk ? "ok" : "read error", drained);
  std::printf("  exit    : %s\n", WriteAll(port, expected::ExitCommand, &error) ? "written" : "write failed");
  CloseHandle(port);
}

int RunFaults() {
  const char* modes[] = {"mode normal", "mode silent", "mode garbage", "mode split 2 300",
                         "mode trickle 200", "mode extra-byte 00 0", "mode extra-byte ff 300",
                         "mode no-confirm", "mode short-confirm", "mode bad-confirm", "mode bad-enter",
                         "mode bad-query",
                         "mode cts-down", "mode hangup 64"};
  for (const char* mode : modes) {
    std::printf("%s\n", mode);
    RigControl(L"COM1", "power-cycle");
    std::string error;
    if (!RigControl(L"COM1", mode, 5000, &error)) std::printf("  control failed: %s\n", error.c_str());
    ShowExchange(L"COM1");
  }
  std::printf("product-type \"CU20029T307A01\\x00\"\n");
  RigControl(L"COM1", "mode normal");
  RigControl(L"COM1", "product-type \"CU20029T307A01\\x00\"");
  ShowExchange(L"COM1");
  RigControl(L"COM1", "product-type default");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::string command = argc > 1 ? argv[1] : "check";
  if (command == "check") return RunCheck();
  if (command == "observe") return RunObserve();
  if (command == "faults") return RunFaults();
  std::fprintf(stderr, "usage: rig_selftest [check|observe|faults]\n");
  return 2;
}

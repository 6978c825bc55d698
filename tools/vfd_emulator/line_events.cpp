// The line and what happens on it: the pty and its published link, the
// bytes in both directions, the module's actions, the opens and closes, and
// the log events that record each of them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control.h"
#include "display.h"
#include "emulator.h"
#include "port_reports.h"
#include "record_file.h"

namespace {

std::string LineJson(const Emulator& e) {
  LineSettings line = ReadLineSettings(e.port);
  if (!line.valid) return "null";
  HostLines host = ReadHostLines(e.lines);
  JsonFields f;
  AddNumber(f, "baud", line.baud);
  AddNumber(f, "data_bits", line.dataBits);
  AddString(f, "parity", line.parity);
  AddNumber(f, "stop_bits", line.stopBits);
  AddBool(f, "crtscts", line.crtscts);
  AddBool(f, "clocal", line.clocal);
  AddBool(f, "hupcl", line.hupcl);
  AddBool(f, "ixon", line.ixon);
  AddBool(f, "ixoff", line.ixoff);
  AddRaw(f, "dtr", host.known ? (host.dtr ? "true" : "false") : "null");
  AddRaw(f, "rts", host.known ? (host.rts ? "true" : "false") : "null");
  char raw[128];
  std::snprintf(raw, sizeof raw, "\"%o\",\"iflag\":\"%o\",\"oflag\":\"%o\",\"lflag\":\"%o\"",
                line.cflag, line.iflag, line.oflag, line.lflag);
  AddRaw(f, "cflag", raw);  // octal, as in <termios.h>
  return "{" + f.text.substr(1) + "}";
}

void LogBytes(Emulator& e, const char* event, const uint8_t* bytes, size_t count, const char* note) {
  JsonFields f;
  AddNumber(f, "count", static_cast<long long>(count));
  AddString(f, "hex", HexString(bytes, count));
  if (note != nullptr) AddString(f, "dropped", note);
  WriteEvent(e.log, event, f);
}

void HangUp(Emulator& e) {
  JsonFields f;
  AddNumber(f, "record_bytes", static_cast<long long>(e.device.pending.size() - expected::WriteCommand.size()));
  AddString(f, "old_pts", e.port.slavePath);
  DiscardPartialCommand(e.device);
  e.outbox.clear();
  TakeDownLine(e);  // closing the master hangs the program's handle up
  if (!BringUpLine(e)) e.quit = true;
  AddString(f, "pts", e.port.slavePath);
  WriteEvent(e.log, "hangup", f);
}

void Schedule(Emulator& e, const Bytes& bytes, unsigned delayMs) {
  Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
  if (!e.outbox.empty()) due = std::max(due, e.outbox.back().due);  // keep the order
  e.outbox.push_back(Outgoing{due, bytes});
}

void HandleActions(Emulator& e, const std::vector<DeviceAction>& actions) {
  for (const DeviceAction& action : actions) {
    JsonFields f;
    switch (action.kind) {
      case ActionKind::Command:
        AddString(f, "name", action.name);
        AddBool(f, "accepted", action.accepted);
        AddBool(f, "setup", e.device.setupMode);
        AddRaw(f, "line", LineJson(e));
        WriteEvent(e.log, "command", f);
        break;
      case ActionKind::Send:
        Schedule(e, action.bytes, action.delayMs);
        break;
      case ActionKind::RecordStored:
        SaveStoredRecord(e);
        LogRecord(e, "write");
        break;
      case ActionKind::Ignored:
        LogBytes(e, "ignored", action.bytes.data(), action.bytes.size(), nullptr);
        break;
      case ActionKind::Hangup:
        HangUp(e);
        break;
    }
  }
}

void LogPortEvent(Emulator& e, bool open) {
  JsonFields f;
  if (open) AddNumber(f, "holders", static_cast<long long>(e.port.holders.size()));
  AddRaw(f, "line", LineJson(e));
  WriteEvent(e.log, open ? "open" : "close", f);
}

// What the program wrote before its close is still in the pty, and comes
// first. Closing loses what the program had not read, as on a real port
// (the kernel drops it with the terminal end), answers not yet sent, and a
// half-received command.
void PortClosed(Emulator& e) {
  while (ReceiveBytes(e)) continue;
  LogPortEvent(e, false);
  e.outbox.clear();  // answers due after the close go nowhere, as on a real line
  Bytes dropped = DiscardPartialCommand(e.device);
  if (!dropped.empty()) LogBytes(e, "discarded", dropped.data(), dropped.size(), nullptr);
}

void LookAtPort(Emulator& e) {
  bool open = IsSlaveOpen(e.port);
  if (open == e.port.slaveOpen) return;
  if (open) {
    e.port.holders = SlaveHolders(e.port.slavePath);
    LogPortEvent(e, true);
  } else {
    PortClosed(e);
    e.port.holders.clear();
  }
  e.port.slaveOpen = open;
}

bool Contains(const std::vector<int>& pids, int pid) { return std::find(pids.begin(), pids.end(), pid) != pids.end(); }

// An open by a process the emulator did not know as a holder, while the
// port counts as open: if none of the known holders holds it any more, they
// went without a close call (a killed program) and the emulator had not
// looked since. That close comes first.
void TakeOpenReport(Emulator& e, int pid) {
  std::vector<int>& known = e.port.holders;
  if (!e.port.slaveOpen || Contains(known, pid)) return;
  bool gone = !known.empty();
  for (int holder : known) gone = gone && !HoldsSlave(holder, e.port.slavePath);
  known.push_back(pid);
  if (!gone) return;
  PortClosed(e);
  e.port.slaveOpen = false;
}

void TakeReport(Emulator& e, const PortReport& report) {
  int pid = 0;
  if (std::sscanf(report.text.c_str(), "open %d", &pid) == 1) TakeOpenReport(e, pid);
  LookAtPort(e);
  AnswerPortReport(e.reports, report);
}

}  // namespace

void LogRecord(Emulator& e, const char* source) {
  const Record& r = e.device.record;
  JsonFields f;
  AddString(f, "source", source);
  AddString(f, "hex", HexString(r.data(), r.size()));
  for (size_t row = 0; row < 2; ++row) {
    Bytes text = RowText(r, row);
    AddNumber(f, row == 0 ? "speed0" : "speed1", r[row * expected::RowSize]);
    AddString(f, row == 0 ? "row0" : "row1", EscapeText(text.data(), text.size()));
  }
  WriteEvent(e.log, "record", f);
}

void LogError(Emulator& e, const std::string& message) {
  std::fprintf(stderr, "vfd-emulator: %s\n", message.c_str());
  JsonFields f;
  AddString(f, "message", message);
  WriteEvent(e.log, "error", f);
}

bool PublishLines(Emulator& e) {
  if (e.port.master < 0) return true;  // not up yet: BringUpLine publishes them
  std::string error;
  bool ctsUp = e.device.faults.mode != FaultMode::CtsDown;
  if (PublishModemLines(e.lines, e.options.link, e.port.slavePath, ctsUp, error)) return true;
  LogError(e, error);
  return false;
}

// Wine opens a COM port whose unix path is a directory with
// ERROR_ACCESS_DENIED, which is what Windows reports for a port that another
// program holds.
bool PublishPortLink(Emulator& e) {
  std::string error;
  std::string busyDir = e.options.link + ".busy";
  if (e.busy) mkdir(busyDir.c_str(), 0755);
  if (PublishLink(e.options.link, e.busy ? busyDir : e.port.slavePath, error)) return true;
  LogError(e, error);
  return false;
}

bool BringUpLine(Emulator& e) {
  std::string error;
  if (!MakeModemLinesDir(error) || !OpenPtyPort(e.port, error)) {
    LogError(e, error);
    return false;
  }
  // The report socket and the modem lines before the link: a program that
  // finds the port finds them too.
  if (e.options.portReports && !OpenPortReports(e.reports, e.port.slavePath, error)) {
    LogError(e, error);
    return false;
  }
  if (!PublishLines(e)) return false;
  unlink(e.lines.hostPath.c_str());  // DTR/RTS of whoever had this pts number before
  return PublishPortLink(e);
}

void TakeDownLine(Emulator& e) {
  WithdrawModemLines(e.lines);
  ClosePortReports(e.reports);
  ClosePtyPort(e.port);
}

void SaveStoredRecord(Emulator& e) {
  std::string error;
  if (!e.options.store.empty() && !SaveRecord(e.options.store, e.device.record, error)) {
    LogError(e, error);
  }
  e.powerUp = Clock::now();  // show the new message from its start
}

bool ReceiveBytes(Emulator& e) {
  uint8_t buffer[4096];
  ssize_t n = read(e.port.master, buffer, sizeof buffer);
  if (n <= 0) return false;
  size_t count = static_cast<size_t>(n);
  // With CTS down and CTS handshake on, a real UART would never have sent these.
  if (e.device.faults.mode == FaultMode::CtsDown && ReadLineSettings(e.port).crtscts) {
    LogBytes(e, "rx", buffer, count, "cts-down");
    return true;
  }
  LogBytes(e, "rx", buffer, count, nullptr);
  HandleActions(e, FeedDevice(e.device, buffer, count));
  return true;
}

void SendDueBytes(Emulator& e) {
  while (!e.outbox.empty() && e.outbox.front().due <= Clock::now()) {
    Outgoing& next = e.outbox.front();
    ssize_t n = next.bytes.empty() ? 0 : write(e.port.master, next.bytes.data(), next.bytes.size());
    if (n < 0 && errno == EAGAIN) return;  // the slave's input queue is full; later
    if (n < 0) {
      LogError(e, std::string("write to pty: ") + std::strerror(errno));
      e.outbox.pop_front();
      continue;
    }
    LogBytes(e, "tx", next.bytes.data(), static_cast<size_t>(n), nullptr);
    next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
    if (next.bytes.empty()) e.outbox.pop_front();
  }
}

// The port's opens and closes. Whether any program has the terminal end
// open, the kernel knows at every moment: the controlling side reports a
// hang-up while nobody has. The emulator looks at it at fixed points: at
// each report from the fixture (the program waits until the emulator has
// looked, so it cannot open or close again in between), before each
// control command, and at every turn of the loop (for programs without the
// fixture, and for a holder that was killed).
void CatchUpWithPort(Emulator& e) {
  DrainWatch(e.port);
  PortReport report;
  while (NextPortReport(e.reports, report)) TakeReport(e, report);
  LookAtPort(e);
}

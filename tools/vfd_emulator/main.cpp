// vfd-emulator: a two-row VFD customer display module on a pseudo-terminal,
// for running the program under Wine against something that answers like
// the real module. See --help and tools/README.md.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "control.h"
#include "device.h"
#include "display.h"
#include "json_log.h"
#include "modem_lines.h"
#include "pty_port.h"
#include "record_file.h"

namespace {

typedef std::chrono::steady_clock Clock;

volatile std::sig_atomic_t StopRequested = 0;

struct Options {
  std::string link;
  std::string store;
  std::string log;
  std::string control;
  std::string name;
  std::vector<std::string> startCommands;
  bool display = false;
  bool printMessage = false;
};

struct ControlFile {
  std::string path;  // empty: none
  off_t offset = 0;
  ino_t inode = 0;
  unsigned long linesDone = 0;
  std::string partial;
};

struct Outgoing {
  Clock::time_point due;
  Bytes bytes;
};

struct Emulator {
  Options options;
  DeviceState device;
  PtyPort port;
  ModemLines lines;
  JsonLog log;
  ControlFile control;
  std::deque<Outgoing> outbox;
  Clock::time_point powerUp;
  Clock::time_point nextFrame;
  std::string lastFrame;
  bool framesShown = false;
  bool busy = false;  // the link points at a directory: opening the port fails
  bool quit = false;
};

const char Usage[] =
    "Usage: vfd-emulator --link PATH [options]\n"
    "       vfd-emulator --print-message --store FILE\n"
    "\n"
    "Emulates the two-row VFD customer display module on a pseudo-terminal. The\n"
    "pty slave is published as the symlink PATH (point a Wine COM port at it:\n"
    "ln -s PATH $WINEPREFIX/dosdevices/com3). The module answers its user set-up\n"
    "mode commands, stores the 128-byte startup message record, and shows the\n"
    "stored message in the terminal as it would at power-up.\n"
    "\n"
    "Options:\n"
    "  --link PATH          symlink to create for the pty slave (required)\n"
    "  --store FILE         the stored record (128 bytes); created with the\n"
    "                       factory default when missing; survives restarts\n"
    "  --log FILE           JSON-lines log, appended (see tools/README.md)\n"
    "  --control FILE       control file: append command lines to it; after each\n"
    "                       line FILE.ack holds \"<lines done> ok\" or\n"
    "                       \"<lines done> error: <reason>\". Emptying FILE starts\n"
    "                       the count again. Created when missing.\n"
    "  --mode MODE          start in a fault mode, e.g. --mode 'split 2 300'\n"
    "  --product-type TEXT  product type to report (escapes as below)\n"
    "  --exec COMMAND       run a control command at start (repeatable)\n"
    "  --name NAME          label in the display's status line (default: link name)\n"
    "  --display            draw the display in the terminal (default when stdout\n"
    "                       is a terminal); --no-display to stop it\n"
    "  --print-message      print the stored message of --store as plain text\n"
    "                       and exit:  row0 speed=0x13 step_ms=300 text=\"...\"\n"
    "  --help               this text\n"
    "\n";

void OnSignal(int) { StopRequested = 1; }

unsigned long long MsSince(Clock::time_point start) {
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return static_cast<unsigned long long>(std::max<long long>(0, elapsed.count()));
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- log helpers ----------------------------------------------------------

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

// ---- the line -------------------------------------------------------------

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
  if (!OpenPtyPort(e.port, error)) {
    LogError(e, error);
    return false;
  }
  if (!PublishPortLink(e)) return false;
  if (!PublishLines(e)) return false;
  unlink(e.lines.hostPath.c_str());  // DTR/RTS of whoever had this pts number before
  return true;
}

void TakeDownLine(Emulator& e) {
  WithdrawModemLines(e.lines);
  ClosePtyPort(e.port);
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

void SaveStoredRecord(Emulator& e) {
  std::string error;
  if (!e.options.store.empty() && !SaveRecord(e.options.store, e.device.record, error)) {
    LogError(e, error);
  }
  e.powerUp = Clock::now();  // show the new message from its start
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

void ReceiveBytes(Emulator& e) {
  uint8_t buffer[4096];
  ssize_t n = read(e.port.master, buffer, sizeof buffer);
  if (n <= 0) return;
  size_t count = static_cast<size_t>(n);
  // With CTS down and CTS handshake on, a real UART would never have sent these.
  if (e.device.faults.mode == FaultMode::CtsDown && ReadLineSettings(e.port).crtscts) {
    LogBytes(e, "rx", buffer, count, "cts-down");
    return;
  }
  LogBytes(e, "rx", buffer, count, nullptr);
  HandleActions(e, FeedDevice(e.device, buffer, count));
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

// A program has opened or closed the port: the controlling side's hang-up
// says which. Closing loses what the program had not read, as on a real
// port (the kernel drops it with the terminal end), answers not yet sent,
// and a half-received command.
void TrackHolders(Emulator& e) {
  DrainWatch(e.port);
  bool open = IsSlaveOpen(e.port);
  if (open == e.port.slaveOpen) return;
  e.port.slaveOpen = open;
  JsonFields f;
  if (open) AddNumber(f, "holders", CountSlaveHolders(e.port.slavePath));
  AddRaw(f, "line", LineJson(e));
  WriteEvent(e.log, open ? "open" : "close", f);
  if (open) return;
  e.outbox.clear();  // answers due after the close go nowhere, as on a real line
  Bytes dropped = DiscardPartialCommand(e.device);
  if (!dropped.empty()) LogBytes(e, "discarded", dropped.data(), dropped.size(), nullptr);
}

// ---- control --------------------------------------------------------------

void ApplyEffects(Emulator& e, const ControlEffects& effects) {
  if (effects.recordChanged) {
    SaveStoredRecord(e);
    LogRecord(e, "control");
  }
  if (effects.powerCycle) {
    PowerCycleDevice(e.device);
    e.outbox.clear();
    e.powerUp = Clock::now();
  }
  if (effects.linesChanged) PublishLines(e);
  if (effects.busy >= 0) {
    e.busy = effects.busy == 1;
    PublishPortLink(e);
  }
  if (effects.quit) e.quit = true;
}

bool RunControlLine(Emulator& e, const std::string& line, std::string& error) {
  ControlEffects effects;
  bool ok = ApplyControlCommand(e.device, line, effects, error);
  if (effects.resetLog) ResetJsonLog(e.log);
  JsonFields f;
  AddString(f, "command", line);
  AddBool(f, "ok", ok);
  if (!ok) AddString(f, "error", error);
  WriteEvent(e.log, "control", f);
  ApplyEffects(e, effects);
  return ok;
}

void WriteAck(Emulator& e, bool ok, const std::string& error) {
  std::string ack = std::to_string(e.control.linesDone) + (ok ? " ok" : " error: " + error) + "\n";
  std::string path = e.control.path + ".ack";
  std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << ack;
  }
  std::rename(temporary.c_str(), path.c_str());
}

std::string ReadNewControlText(ControlFile& control, off_t size) {
  std::ifstream in(control.path, std::ios::binary);
  in.seekg(control.offset);
  std::string text(static_cast<size_t>(size - control.offset), '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  control.offset += static_cast<off_t>(text.size());
  return text;
}

void PollControlFile(Emulator& e) {
  ControlFile& c = e.control;
  struct stat st{};
  if (c.path.empty() || stat(c.path.c_str(), &st) != 0) return;
  if (st.st_ino != c.inode || st.st_size < c.offset) {  // replaced or emptied: count anew
    c.inode = st.st_ino;
    c.offset = 0;
    c.linesDone = 0;
    c.partial.clear();
    WriteAck(e, true, "");
  }
  if (st.st_size == c.offset) return;
  c.partial += ReadNewControlText(c, st.st_size);
  size_t newline;
  while ((newline = c.partial.find('\n')) != std::string::npos) {
    std::string line = c.partial.substr(0, newline);
    c.partial.erase(0, newline + 1);
    std::string error;
    bool ok = RunControlLine(e, line, error);
    ++c.linesDone;
    WriteAck(e, ok, error);
  }
}

// ---- display --------------------------------------------------------------

std::string StatusLine(const Emulator& e) {
  std::string status = e.options.name + "  mode=" + FaultModeName(e.device.faults.mode);
  status += e.device.setupMode ? "  set-up mode" : "";
  status += e.port.slaveOpen ? "  port open" : "  port closed";
  status += e.busy ? "  busy" : "";
  return status;
}

void RefreshDisplay(Emulator& e) {
  if (!e.options.display || Clock::now() < e.nextFrame) return;
  e.nextFrame = Clock::now() + std::chrono::milliseconds(20);
  std::string frame = RenderDisplayFrame(e.device.record, MsSince(e.powerUp), StatusLine(e));
  if (frame == e.lastFrame) return;
  e.lastFrame = frame;
  std::string out = e.framesShown ? "\x1b[5A" + frame : "\x1b[?25l" + frame;
  e.framesShown = true;
  if (write(STDOUT_FILENO, out.data(), out.size()) < 0) e.options.display = false;
}

int NextTimeoutMs(const Emulator& e) {
  long long timeout = 50;  // the control file is polled at this pace
  if (e.options.display) timeout = 20;
  if (!e.outbox.empty()) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(e.outbox.front().due - Clock::now());
    timeout = std::min<long long>(timeout, std::max<long long>(0, wait.count()));
  }
  return static_cast<int>(timeout);
}

// ---- start and end --------------------------------------------------------

bool ParseOptions(int argc, char** argv, Options& options) {
  static const option longOptions[] = {
      {"link", required_argument, nullptr, 'l'},   {"store", required_argument, nullptr, 's'},
      {"log", required_argument, nullptr, 'g'},    {"control", required_argument, nullptr, 'c'},
      {"mode", required_argument, nullptr, 'm'},   {"product-type", required_argument, nullptr, 'p'},
      {"exec", required_argument, nullptr, 'e'},   {"name", required_argument, nullptr, 'n'},
      {"display", no_argument, nullptr, 'd'},      {"no-display", no_argument, nullptr, 'D'},
      {"print-message", no_argument, nullptr, 'P'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  options.display = isatty(STDOUT_FILENO) != 0;
  int c;
  while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'l': options.link = optarg; break;
      case 's': options.store = optarg; break;
      case 'g': options.log = optarg; break;
      case 'c': options.control = optarg; break;
      case 'm': options.startCommands.push_back(std::string("mode ") + optarg); break;
      case 'p': options.startCommands.push_back(std::string("product-type ") + optarg); break;
      case 'e': options.startCommands.push_back(optarg); break;
      case 'n': options.name = optarg; break;
      case 'd': options.display = true; break;
      case 'D': options.display = false; break;
      case 'P': options.printMessage = true; break;
      case 'h': std::printf("%s%s", Usage, ControlCommandHelp()); std::exit(0);
      default: return false;
    }
  }
  if (options.name.empty()) options.name = BaseName(options.link);
  return optind == argc && (options.printMessage || !options.link.empty());
}

Record InitialRecord(const Options& options) {
  Record record = ModuleFactoryRecord();
  if (options.store.empty() || LoadRecord(options.store, record)) return record;
  std::string error;
  if (!SaveRecord(options.store, record, error)) std::fprintf(stderr, "vfd-emulator: %s\n", error.c_str());
  return record;
}

bool StartEmulator(Emulator& e) {
  std::string error;
  e.device = NewDevice(InitialRecord(e.options));
  if (!e.options.log.empty() && !OpenJsonLog(e.log, e.options.log, error)) {
    std::fprintf(stderr, "vfd-emulator: %s\n", error.c_str());
    return false;
  }
  for (const std::string& command : e.options.startCommands) {
    if (!RunControlLine(e, command, error)) {
      std::fprintf(stderr, "vfd-emulator: %s: %s\n", command.c_str(), error.c_str());
      return false;
    }
  }
  if (!BringUpLine(e)) return false;
  e.control.path = e.options.control;
  if (!e.control.path.empty()) std::ofstream(e.control.path, std::ios::app).flush();
  e.powerUp = Clock::now();
  JsonFields f;
  AddNumber(f, "pid", getpid());
  AddString(f, "pts", e.port.slavePath);
  AddString(f, "link", e.options.link);
  AddString(f, "mode", FaultModeName(e.device.faults.mode));
  const Bytes& type = e.device.faults.productType;
  AddString(f, "product_type", EscapeText(type.data(), type.size()));
  AddString(f, "record", HexString(e.device.record.data(), e.device.record.size()));
  WriteEvent(e.log, "start", f);
  return true;
}

void StopEmulator(Emulator& e) {
  WriteEvent(e.log, "stop", JsonFields());
  char target[4096];
  ssize_t n = readlink(e.options.link.c_str(), target, sizeof target - 1);
  std::string pointsAt = n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
  if (pointsAt == e.port.slavePath || pointsAt == e.options.link + ".busy") unlink(e.options.link.c_str());
  rmdir((e.options.link + ".busy").c_str());
  TakeDownLine(e);
  CloseJsonLog(e.log);
  if (e.framesShown) std::fputs("\x1b[?25h", stdout);
}

// While nobody has the port open the controlling side reports a hang-up at
// every poll, so it is left out of the poll then: the watch wakes the loop
// when a program opens the port.
void RunLoop(Emulator& e) {
  while (!e.quit && !StopRequested) {
    pollfd fds[2] = {{e.port.watch, POLLIN, 0}, {e.port.slaveOpen ? e.port.master : -1, POLLIN, 0}};
    if (poll(fds, 2, NextTimeoutMs(e)) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) ReceiveBytes(e);
    TrackHolders(e);
    PollControlFile(e);
    SendDueBytes(e);
    RefreshDisplay(e);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Emulator e;
  if (!ParseOptions(argc, argv, e.options)) {
    std::fprintf(stderr, "%s", Usage);
    return 2;
  }
  if (e.options.printMessage) {
    Record record = ModuleFactoryRecord();
    LoadRecord(e.options.store, record);  // a module that was never written shows the default
    std::printf("%s", FormatMessageText(record).c_str());
    return 0;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  if (!StartEmulator(e)) return 1;
  std::fprintf(stderr, "vfd-emulator: %s -> %s\n", e.options.link.c_str(), e.port.slavePath.c_str());
  RunLoop(e);
  StopEmulator(e);
  return 0;
}

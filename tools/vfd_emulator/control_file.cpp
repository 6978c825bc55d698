// The control file: command lines appended by a test, applied in order, each
// acknowledged in <control>.ack with the count of lines done.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "control.h"
#include "emulator.h"

namespace {

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

}  // namespace

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
  // What happened on the port before a command was written is logged before it.
  if (c.partial.find('\n') != std::string::npos) CatchUpWithPort(e);
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

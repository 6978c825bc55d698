// The running emulator: what its loop (loop.cpp), its line events
// (line_events.cpp) and its control file (control_file.cpp) share. main.cpp
// reads the options, starts it and stops it.
#ifndef VFD_EMULATOR_EMULATOR_H
#define VFD_EMULATOR_EMULATOR_H

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <string>
#include <vector>

#include "device.h"
#include "json_log.h"
#include "modem_lines.h"
#include "port_reports.h"
#include "pty_port.h"

typedef std::chrono::steady_clock Clock;

struct Options {
  std::string link;
  std::string store;
  std::string log;
  std::string control;
  std::string name;
  std::vector<std::string> startCommands;
  bool display = false;
  bool printMessage = false;
  bool portReports = true;  // false: opens and closes only seen by looking at the port
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
  PortReports reports;
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

// Set by SIGTERM and SIGINT: the loop ends after its current step.
extern volatile std::sig_atomic_t StopRequested;

// ---- line_events.cpp: the line and what happens on it ----------------------

void LogRecord(Emulator& e, const char* source);
void LogError(Emulator& e, const std::string& message);
bool PublishLines(Emulator& e);
bool PublishPortLink(Emulator& e);
bool BringUpLine(Emulator& e);
void TakeDownLine(Emulator& e);
void SaveStoredRecord(Emulator& e);
// One read of the line; false when nothing was there.
bool ReceiveBytes(Emulator& e);
void SendDueBytes(Emulator& e);
// Logs the opens and closes that happened since the last look.
void CatchUpWithPort(Emulator& e);

// ---- control_file.cpp ---------------------------------------------------------

bool RunControlLine(Emulator& e, const std::string& line, std::string& error);
void PollControlFile(Emulator& e);

// ---- loop.cpp -------------------------------------------------------------------

void RunLoop(Emulator& e);

#endif

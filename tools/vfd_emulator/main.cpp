// vfd-emulator: a two-row VFD customer display module on a pseudo-terminal,
// for running the program under Wine against something that answers like
// the real module. See --help and tools/README.md. This file reads the
// options, starts the emulator and stops it; emulator.h says where the rest is.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

#include "control.h"
#include "display.h"
#include "emulator.h"
#include "record_file.h"

namespace {

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
    "  --no-port-reports    take no reports of opens and closes from the modem-lines\n"
    "                       fixture: they are seen only by looking at the port, so\n"
    "                       the log's order is not exact; a benchmark then times\n"
    "                       the program, not the emulator's answers\n"
    "  --print-message      print the stored message of --store as plain text\n"
    "                       and exit:  row0 speed=0x13 step_ms=300 text=\"...\"\n"
    "  --help               this text\n"
    "\n";

void OnSignal(int) { StopRequested = 1; }

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ParseOptions(int argc, char** argv, Options& options) {
  static const option longOptions[] = {
      {"link", required_argument, nullptr, 'l'},   {"store", required_argument, nullptr, 's'},
      {"log", required_argument, nullptr, 'g'},    {"control", required_argument, nullptr, 'c'},
      {"mode", required_argument, nullptr, 'm'},   {"product-type", required_argument, nullptr, 'p'},
      {"exec", required_argument, nullptr, 'e'},   {"name", required_argument, nullptr, 'n'},
      {"display", no_argument, nullptr, 'd'},      {"no-display", no_argument, nullptr, 'D'},
      {"print-message", no_argument, nullptr, 'P'}, {"help", no_argument, nullptr, 'h'},
      {"no-port-reports", no_argument, nullptr, 'R'},
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
      case 'R': options.portReports = false; break;
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

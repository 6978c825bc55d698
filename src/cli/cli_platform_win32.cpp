// The console program's process on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "cli/cli_platform.h"
#include "text/utf_convert.h"

namespace {

// Set once, by the console's control thread; read by the program's threads.
volatile LONG FirstStopSignal = 0;
// Signalled while no exchange runs; a closing console waits for it.
HANDLE NoExchange = nullptr;
UINT SavedOutputCodePage = 0;

// Windows ends the process once the handler returns from a close, logoff or
// shutdown event (and a few seconds later in any case): the exchange under
// way gets that long to finish, and the console its code page back.
const DWORD CloseWaitMs = 4500;

int SignalOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return 2;       // as SIGINT
    case CTRL_BREAK_EVENT: return 3;   // as SIGQUIT
    default: return 1;                 // close, logoff, shutdown: as SIGHUP
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  InterlockedCompareExchange(&FirstStopSignal, SignalOf(event), 0);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  if (NoExchange != nullptr) WaitForSingleObject(NoExchange, CloseWaitMs);
  RestoreConsole();
  return TRUE;
}

// The C runtime's descriptors 0 to 2 without a handle behind them would be
// taken by the next file the program opens.
void OpenIfClosed(int fd) {
  if (_get_osfhandle(fd) != -1) return;
  int opened = _wopen(L"NUL", _O_RDWR | _O_BINARY);
  if (opened >= 0 && opened != fd) {
    _dup2(opened, fd);
    _close(opened);
  }
}

const char Help[] =
    "Ports: --port takes a port name such as COM3 (or \\\\.\\COM12). Without --port\n"
    "the program tries the OPOS line display's configured port first (the \"Port\"\n"
    "value under HKLM\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\LineDisplay\\\n"
    "QVrm7700LineDisplay), then every port of HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
    "(VFDSTARTUP_PORTS: a blank-separated list instead). It probes them all at\n"
    "once (a display that does not answer takes 5 s) and uses the first port of\n"
    "that order where a display answers, as vfdstartup.exe does.\n"
    "\n"
    "The message: apply (and the service vfdstartup) take the machine's policy,\n"
    "HKLM\\SOFTWARE\\Policies\\vfdstartup, when it holds a row: the policy wins over\n"
    "the message file, which is then not read. --config FILE reads FILE instead\n"
    "of either. The message file's port is a port name such as COM3.\n"
    "\n"
    "A port another program holds cannot be opened.\n"
    "\n"
    "State: after a confirmed write the record is kept per port in\n"
    "%ProgramData%\\vfdstartup (--state-dir), which only Administrators and SYSTEM\n"
    "may change (one that other accounts may change is not used: exit 5);\n"
    "--if-changed compares with it.\n";

}  // namespace

void PrepareProcess() {
  for (int fd = 0; fd <= 2; ++fd) OpenIfClosed(fd);
  NoExchange = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  // UTF-8 on the console, as in the JSON and in redirected output.
  SavedOutputCodePage = GetConsoleOutputCP();
  if (SavedOutputCodePage != 0) SetConsoleOutputCP(CP_UTF8);
}

void RestoreConsole() {
  if (SavedOutputCodePage != 0) SetConsoleOutputCP(SavedOutputCodePage);
}

int StopSignal() { return static_cast<int>(InterlockedCompareExchange(&FirstStopSignal, 0, 0)); }

bool StopRequested() { return StopSignal() != 0; }

void RequestStop() { InterlockedCompareExchange(&FirstStopSignal, 15, 0); }

void ExchangeBegins() {
  if (NoExchange != nullptr) ResetEvent(NoExchange);
}

void ExchangeEnds() {
  if (NoExchange != nullptr) SetEvent(NoExchange);
}

// "\\.\COM12" is how Windows paths name COM12; the port operations add the
// prefix themselves.
std::u16string PortNameFromArgument(const std::string& value) {
  std::u16string name;
  if (!Utf8ToUtf16(value, &name)) name = Utf16FromBytes(value);
  return name.compare(0, 4, u"\\\\.\\") == 0 ? name.substr(4) : name;
}

const char* PlatformHelp() { return Help; }

bool BoxesShownByDefault() { return true; }

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

// The Windows service vfdstartup: apply, run by the service manager, at its
// start, when the machine's policy changes (RegNotifyChangeKeyValue on
// HKLM\SOFTWARE\Policies), when %ProgramData%\vfdstartup changes
// (FindFirstChangeNotification: message.conf written or replaced) and when a
// COM port arrives (RegisterDeviceNotification for GUID_DEVINTERFACE_COMPORT).
// Notifications while it runs rather than service triggers: a trigger-started
// service would still need them for changes while it runs, and the service
// must run anyway to apply at start. One thread waits on all of them in one
// WaitForMultipleObjects and runs one apply at a time; an idle service uses
// no CPU. A stop request during an exchange is the console's stop request
// (as Ctrl+C): the exchange is finished and the port put back first.
//
// A notification says only that something changed: the service's own state
// and last runs are written in the folder it watches, and a policy refresh
// rewrites values unchanged. So a change is acted on once the key and the
// folder have been still for a moment (service_decision.h), and only when
// the policy's values or the message file's bytes differ from those the
// service last acted on; its own writes wake it once and change nothing.
#include <windows.h>
#include <dbt.h>
#include <initguid.h>

#include <deque>
#include <mutex>
#include <cstdio>
#include <cwchar>
#include <string>

#include "cli/cli_commands.h"
#include "cli/cli_platform.h"
#include "cli/message_file_platform.h"
#include "cli/service_decision.h"
#include "cli/service_platform.h"
#include "records/port_records.h"
#include "records/record_platform.h"

DEFINE_GUID(ComPortInterface, 0x86E0D1E0L, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);

namespace {

wchar_t ServiceName[] = L"vfdstartup";

enum Waited { WAIT_STOP, WAIT_POLICY, WAIT_FILE, WAIT_ARRIVAL, WAITED };

struct Service {
  SERVICE_STATUS_HANDLE status = nullptr;
  HANDLE events[WAITED] = {};
  HKEY policies = nullptr;
  bool watchingFolder = false;  // the message file's folder itself, not %ProgramData% for its making
  MessageInputs acted = {};     // the policy and the file as the service last acted on them
  Settling settling = {};
  std::mutex lock;
  std::deque<std::u16string> arrived;  // ports named by arrivals, in order
};

Service& It = *new Service;

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 30000;
  SetServiceStatus(It.status, &status);
}

// The arrived port's name: its device instance's PortName. Empty when not found.
std::u16string PortOfInterface(const wchar_t* path) {
  std::u16string device = DeviceInstanceOfInterface(std::u16string(path, path + wcslen(path)));
  if (device.empty()) return u"";
  std::wstring instance(device.begin(), device.end());
  std::wstring params = L"SYSTEM\\CurrentControlSet\\Enum\\" + instance + L"\\Device Parameters";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, params.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return u"";
  wchar_t name[64] = {};
  DWORD bytes = sizeof name - sizeof(wchar_t), type = 0;
  LONG read = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &bytes);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS || type != REG_SZ) return u"";
  return std::u16string(name, name + wcslen(name));
}

DWORD WINAPI OnControl(DWORD control, DWORD type, void* data, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    RequestStop();  // an exchange under way is finished first
    SetEvent(It.events[WAIT_STOP]);
    return NO_ERROR;
  }
  if (control == SERVICE_CONTROL_DEVICEEVENT && type == DBT_DEVICEARRIVAL) {
    auto* header = static_cast<DEV_BROADCAST_HDR*>(data);
    if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      std::lock_guard<std::mutex> hold(It.lock);
      It.arrived.push_back(PortOfInterface(static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(data)->dbcc_name));
      SetEvent(It.events[WAIT_ARRIVAL]);
    }
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Re-armed after each change: a notification fires once.
void WatchPolicies() {
  if (It.policies == nullptr)
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies", 0, KEY_NOTIFY | KEY_WOW64_64KEY, &It.policies);
  if (It.policies != nullptr)
    RegNotifyChangeKeyValue(It.policies, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                            It.events[WAIT_POLICY], TRUE);
}

std::wstring MessageDirectory() {
  std::string file = DefaultMessageFilePath();
  return std::wstring(file.begin(), file.begin() + file.rfind('\\'));
}

// The message file's directory; while there is none, %ProgramData%, for its
// making (then the next wake moves the watch into it). An event that never
// fires stands in when neither can be watched.
HANDLE WatchMessageDirectory() {
  std::wstring dir = MessageDirectory();
  HANDLE watch = FindFirstChangeNotificationW(dir.c_str(), FALSE,
                                              FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
  It.watchingFolder = watch != INVALID_HANDLE_VALUE;
  if (watch == INVALID_HANDLE_VALUE)
    watch = FindFirstChangeNotificationW(dir.substr(0, dir.rfind(L'\\')).c_str(), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME);
  return watch != INVALID_HANDLE_VALUE ? watch : CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// A watch of %ProgramData% is made anew each time, so that it moves into the
// folder once there is one; so is one whose folder went away.
void RewatchMessageDirectory() {
  DWORD attributes = GetFileAttributesW(MessageDirectory().c_str());
  bool folderThere = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (It.watchingFolder && folderThere && FindNextChangeNotification(It.events[WAIT_FILE])) return;
  if (!FindCloseChangeNotification(It.events[WAIT_FILE])) CloseHandle(It.events[WAIT_FILE]);
  It.events[WAIT_FILE] = WatchMessageDirectory();
}

void WatchArrivals() {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = ComPortInterface;
  RegisterDeviceNotificationW(It.status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

// Nothing configured: a last run of apply that reached no port (a message
// file missing then, say) no longer describes the terminal.
void ForgetApplyWithoutPort() {
  std::string reason;
  ForgetRunWithoutPort(DefaultStateDir(), "apply", &reason);
}

void Act(const ServiceAction& action) {
  if (action.forget) ForgetApplyWithoutPort();
  if (action.apply) RunApply(ApplyOptionsFor(action));
}

// The inputs read now, acted on and kept as what was acted on.
void Decide(ServiceEventKind kind) {
  MessageInputs now = ReadMessageInputs("");
  ServiceAction action = DecideServiceAction({kind, u""}, It.acted, now);
  It.acted = now;
  Act(action);
}

void ApplyArrivals() {
  for (;;) {
    ServiceEvent event = {SERVICE_EVENT_ARRIVAL, u""};
    {
      std::lock_guard<std::mutex> hold(It.lock);
      if (It.arrived.empty()) return;
      event.port = It.arrived.front();
      It.arrived.pop_front();
    }
    Act(DecideServiceAction(event, It.acted, ReadMessageInputs("")));
  }
}

// A changed key or folder, re-armed (a notification fires once); the change
// is acted on when the burst it belongs to has settled.
void NoteWatched(DWORD which) {
  if (which == WAIT_POLICY) WatchPolicies();
  if (which == WAIT_FILE) RewatchMessageDirectory();
  NoteChange(&It.settling, GetTickCount64());
}

DWORD Timeout() {
  return It.settling.pending ? static_cast<DWORD>(SettleWait(It.settling, GetTickCount64())) : INFINITE;
}

bool Settled() { return It.settling.pending && SettleWait(It.settling, GetTickCount64()) == 0; }

// Arrivals wait while a change settles: they would read a message half
// written, and they are applied right after it. A settled burst is acted on
// before the next wait, so that a folder that never keeps still cannot hold
// it off past the limit.
void RunLoop() {
  Decide(SERVICE_EVENT_START);
  for (;;) {
    if (Settled()) {
      It.settling.pending = false;
      Decide(SERVICE_EVENT_SETTLED);
      ApplyArrivals();
    }
    DWORD signalled = WaitForMultipleObjects(WAITED, It.events, FALSE, Timeout());
    if (signalled == WAIT_TIMEOUT) continue;
    signalled -= WAIT_OBJECT_0;
    if (signalled >= WAITED) return;
    if (signalled == WAIT_STOP && DecideServiceAction({SERVICE_EVENT_STOP, u""}, It.acted, It.acted).stop) return;
    if (signalled == WAIT_ARRIVAL) {
      if (!It.settling.pending) ApplyArrivals();
      continue;
    }
    NoteWatched(signalled);
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  It.status = RegisterServiceCtrlHandlerExW(ServiceName, OnControl, nullptr);
  if (It.status == nullptr) return;
  Report(SERVICE_START_PENDING);
  It.events[WAIT_STOP] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  It.events[WAIT_POLICY] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  It.events[WAIT_ARRIVAL] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  It.events[WAIT_FILE] = WatchMessageDirectory();
  WatchPolicies();
  WatchArrivals();
  Report(SERVICE_RUNNING);
  RunLoop();
  // Nothing is left to do once the manager hears "stopped": an uninstall
  // removes the program right after, and a process still ending would keep
  // its file in use.
  Report(SERVICE_STOPPED);
  ExitProcess(0);
}

}  // namespace

int RunService(const CliOptions&) {
  SERVICE_TABLE_ENTRYW table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return 0;
  std::fprintf(stderr, "error: vfdstartup-cli service is run by the service manager (sc start vfdstartup)\n");
  return 2;
}

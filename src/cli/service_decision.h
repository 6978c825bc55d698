// What the Windows service does on each thing it is told: which event leads
// to an apply, and with which port, and when a burst of changes has settled.
// Kept apart from the service's Windows side (service_win32.cpp) so that it
// is checked with simulated events and a simulated clock.
#ifndef VFD_CLI_SERVICE_DECISION_H
#define VFD_CLI_SERVICE_DECISION_H

#include <string>

#include "cli/cli_options.h"
#include "cli/message_inputs.h"

enum ServiceEventKind {
  SERVICE_EVENT_START,    // the service started
  SERVICE_EVENT_SETTLED,  // the policy's key or the message file's folder changed, and has been still since
  SERVICE_EVENT_ARRIVAL,  // a COM port arrived (GUID_DEVINTERFACE_COMPORT)
  SERVICE_EVENT_STOP,     // the service manager asked it to stop
};

struct ServiceEvent {
  ServiceEventKind kind;
  std::u16string port;  // SERVICE_EVENT_ARRIVAL: the port's name (COM7); empty: not known
};

struct ServiceAction {
  bool apply;           // run apply once
  std::u16string port;  // apply's --port: only when the message names it; empty: where the message says
  bool stop;            // leave the loop
  bool forget;          // nothing is configured: drop what an earlier apply that reached no port said
};

// acted: the inputs the service last acted on; now: as they are.
ServiceAction DecideServiceAction(const ServiceEvent& event, const MessageInputs& acted, const MessageInputs& now);

// A burst of changes settles when nothing changed for SettleMilliseconds,
// or at the latest SettleLimitMilliseconds after its first change.
const unsigned long long SettleMilliseconds = 5000;
const unsigned long long SettleLimitMilliseconds = 30000;

struct Settling {
  bool pending;             // a change not yet acted on
  unsigned long long first; // when the burst began (milliseconds of a steady clock)
  unsigned long long last;  // its latest change
};

void NoteChange(Settling* settling, unsigned long long now);
// Milliseconds left until a pending burst has settled (0: it has).
unsigned long long SettleWait(const Settling& settling, unsigned long long now);

// An arrived COM port's interface, as the arrival names it
// ("\\?\USB#VID_067B&PID_2303#5&1a2b#{86e0d1e0-...}"), as its device
// instance (USB\VID_067B&PID_2303\5&1a2b), whose Device Parameters hold
// the port's name. Empty for anything else.
std::u16string DeviceInstanceOfInterface(const std::u16string& path);

// The options of the apply an action runs: apply as `vfdstartup-cli apply
// [--port P] -q` with the default message and state.
CliOptions ApplyOptionsFor(const ServiceAction& action);

#endif  // VFD_CLI_SERVICE_DECISION_H

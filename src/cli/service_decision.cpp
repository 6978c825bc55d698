#include "cli/service_decision.h"

#include "protocol/display_protocol.h"

// A start, a changed policy or a changed file: apply the message wherever it
// says (an unchanged message sends nothing, as --if-changed). An arrived
// port: apply with that port only, which apply leaves alone unless the
// message names it, so a receipt printer's adapter never receives the set-up
// commands. An arrival whose port is not known tells nothing to act on.
ServiceAction DecideServiceAction(const ServiceEvent& event) {
  ServiceAction action = {false, u"", false};
  switch (event.kind) {
    case SERVICE_EVENT_STOP: action.stop = true; break;
    case SERVICE_EVENT_ARRIVAL:
      action.apply = !event.port.empty();
      action.port = event.port;
      break;
    default: action.apply = true; break;
  }
  return action;
}

std::u16string DeviceInstanceOfInterface(const std::u16string& path) {
  const std::u16string prefix = u"\\\\?\\";
  size_t guid = path.rfind(u"#{");
  if (path.compare(0, prefix.size(), prefix) != 0 || guid == std::u16string::npos || guid <= prefix.size()) return u"";
  std::u16string instance = path.substr(prefix.size(), guid - prefix.size());
  for (char16_t& c : instance)
    if (c == u'#') c = u'\\';
  return instance;
}

CliOptions ApplyOptionsFor(const ServiceAction& action) {
  CliOptions options = CliOptions();
  options.command = CLI_APPLY;
  options.speedPosition = SpeedDefaultPosition;
  options.frames = -1;
  options.quiet = true;
  options.port = action.port;
  return options;
}

#include "cli/service_decision.h"

#include "protocol/display_protocol.h"

// A start: apply the message wherever it says (an unchanged message sends
// nothing, as --if-changed). Settled changes: the same, but only when the
// policy or the message file changed in content, appeared or went away;
// anything else written in the folder (the service's own state and last
// runs) or elsewhere under the policies' key is no reason. An arrived port:
// apply with that port only, which apply leaves alone unless the message
// names it, so a receipt printer's adapter never receives the set-up
// commands. An arrival whose port is not known tells nothing to act on.
// With no policy and no file there is nothing to keep: no apply (which
// would call it a bad message), and what an earlier apply said is dropped.
ServiceAction DecideServiceAction(const ServiceEvent& event, const MessageInputs& acted, const MessageInputs& now) {
  ServiceAction action = {false, u"", false, false};
  bool configured = !NothingConfigured(now);
  switch (event.kind) {
    case SERVICE_EVENT_STOP: action.stop = true; break;
    case SERVICE_EVENT_ARRIVAL:
      action.apply = configured && !event.port.empty();
      action.port = event.port;
      break;
    case SERVICE_EVENT_START:
    case SERVICE_EVENT_SETTLED:
      if (event.kind == SERVICE_EVENT_SETTLED && SameMessageInputs(acted, now)) break;
      action.apply = configured;
      action.forget = !configured;
      break;
  }
  return action;
}

void NoteChange(Settling* settling, unsigned long long now) {
  if (!settling->pending) settling->first = now;
  settling->pending = true;
  settling->last = now;
}

unsigned long long SettleWait(const Settling& settling, unsigned long long now) {
  unsigned long long due = settling.last + SettleMilliseconds;
  if (due > settling.first + SettleLimitMilliseconds) due = settling.first + SettleLimitMilliseconds;
  return due > now ? due - now : 0;
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

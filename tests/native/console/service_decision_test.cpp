// The service's decisions over simulated events: what a start, a policy or
// file change, a named or unnamed port's arrival and a stop lead to. That
// apply leaves an arrived port alone unless the message names it is
// ApplyProgram's (tests/cli) to show.
#include <gtest/gtest.h>

#include "cli/service_decision.h"

namespace {

TEST(ServiceDecision, EachEventLeadsToOneApplyOrToTheEnd) {
  const struct {
    ServiceEvent event;
    bool apply;
    std::u16string port;
    bool stop;
  } cases[] = {
      {{SERVICE_EVENT_START, u""}, true, u"", false},
      {{SERVICE_EVENT_POLICY, u""}, true, u"", false},
      {{SERVICE_EVENT_FILE, u""}, true, u"", false},
      {{SERVICE_EVENT_ARRIVAL, u"COM7"}, true, u"COM7", false},  // applied only if the message names COM7
      {{SERVICE_EVENT_ARRIVAL, u""}, false, u"", false},         // a port whose name could not be read
      {{SERVICE_EVENT_STOP, u""}, false, u"", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.event.kind));
    ServiceAction action = DecideServiceAction(c.event);
    EXPECT_EQ(action.apply, c.apply);
    EXPECT_EQ(action.port, c.port);
    EXPECT_EQ(action.stop, c.stop);
    CliOptions options = ApplyOptionsFor(action);
    EXPECT_TRUE(options.command == CLI_APPLY && options.port == c.port && options.config.empty() && !options.validate &&
                !options.check && options.stateDir.empty());
  }
}

}  // namespace

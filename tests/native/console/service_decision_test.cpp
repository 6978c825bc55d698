// The service's decisions over simulated events: what a start, a policy or
// file change, a named or unnamed port's arrival and a stop lead to. That
// apply leaves an arrived port alone unless the message names it is
// ApplyProgram's (tests/cli) to show.
#include <gtest/gtest.h>

#include "cli/service_decision.h"
#include "cli/service_platform.h"

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

// The systemd units run apply on Linux: the command is a usage error there.
TEST(ServiceDecision, LinuxHasNoServiceOfItsOwn) { EXPECT_EQ(RunService(CliOptions()), 2); }

TEST(ServiceDecision, AnArrivedInterfaceNamesItsDeviceInstance) {
  const std::u16string guid = u"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  const struct {
    std::u16string path;
    std::u16string instance;
  } cases[] = {
      {u"\\\\?\\USB#VID_067B&PID_2303#5&1a2b3c&0&2" + guid, u"USB\\VID_067B&PID_2303\\5&1a2b3c&0&2"},
      {u"\\\\?\\FTDIBUS#VID_0403+PID_6001+A50285BIA#0000" + guid, u"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"},
      {u"\\\\?\\ACPI#PNP0501#1" + guid, u"ACPI\\PNP0501\\1"},
      {u"USB#VID_067B&PID_2303#5" + guid, u""},  // not an interface's path
      {u"\\\\?\\" + guid, u""},
      {u"\\\\?\\USB#VID_067B", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceInstanceOfInterface(c.path), c.instance);
}

}  // namespace

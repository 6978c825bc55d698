// The service's decisions over simulated events: what a start, a settled
// change of the policy or the file, a named or unnamed port's arrival and a
// stop lead to, and when a burst of changes has settled. That
// apply leaves an arrived port alone unless the message names it is
// ApplyProgram's (tests/cli) to show.
#include <gtest/gtest.h>

#include "cli/service_decision.h"
#include "cli/service_platform.h"

namespace {

// acted: what the service last acted on; now: the policy and the file now.
TEST(ServiceDecision, OnlyAChangedMessageLeadsToAnApply) {
  const MessageInputs none = {"", "unreadable: no such file", true}, file = {"", "row0 = A\n", false},
                      edited = {"", "row0 = B\n", false}, unreadable = {"", "unreadable: Windows error 5", false},
                      row0 = {"Row0:1:A:0\n", "unreadable: no such file", true},
                      rows = {"Row0:1:A:0\nRow1:1:B:0\n", "unreadable: no such file", true};
  const struct {
    ServiceEvent event;
    MessageInputs acted, now;
    bool apply;
    std::u16string port;
    bool stop, forget;
  } cases[] = {
      {{SERVICE_EVENT_START, u""}, file, file, true, u"", false, false},
      {{SERVICE_EVENT_START, u""}, none, none, false, u"", false, true},        // nothing to keep is no failure
      {{SERVICE_EVENT_SETTLED, u""}, file, file, false, u"", false, false},     // its own state written beside the file
      {{SERVICE_EVENT_SETTLED, u""}, none, none, false, u"", false, false},
      {{SERVICE_EVENT_SETTLED, u""}, file, edited, true, u"", false, false},
      {{SERVICE_EVENT_SETTLED, u""}, none, file, true, u"", false, false},     // delivered
      {{SERVICE_EVENT_SETTLED, u""}, file, none, false, u"", false, true},     // taken away
      {{SERVICE_EVENT_SETTLED, u""}, none, unreadable, true, u"", false, false},  // there, and its error told
      {{SERVICE_EVENT_SETTLED, u""}, row0, rows, true, u"", false, false},
      {{SERVICE_EVENT_SETTLED, u""}, rows, file, true, u"", false, false},     // the policy withdrawn
      {{SERVICE_EVENT_ARRIVAL, u"COM7"}, file, file, true, u"COM7", false, false},  // applied only if the message names COM7
      {{SERVICE_EVENT_ARRIVAL, u"COM7"}, none, none, false, u"COM7", false, false},
      {{SERVICE_EVENT_ARRIVAL, u""}, file, file, false, u"", false, false},   // a port whose name could not be read
      {{SERVICE_EVENT_STOP, u""}, file, edited, false, u"", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.event.kind));
    SCOPED_TRACE(c.acted.file + " -> " + c.now.policy + c.now.file);
    ServiceAction action = DecideServiceAction(c.event, c.acted, c.now);
    EXPECT_EQ(action.apply, c.apply);
    EXPECT_EQ(action.port, c.port);
    EXPECT_EQ(action.stop, c.stop);
    EXPECT_EQ(action.forget, c.forget);
    CliOptions options = ApplyOptionsFor(action);
    EXPECT_TRUE(options.command == CLI_APPLY && options.port == c.port && options.config.empty() && !options.validate &&
                !options.check && options.stateDir.empty());
  }
}

// A burst settles 5 s after its last change, and 30 s after its first at the
// latest, however it goes on.
TEST(ServiceDecision, ABurstOfChangesSettlesOnce) {
  Settling settling = {};
  NoteChange(&settling, 1000);
  EXPECT_EQ(SettleWait(settling, 1000), 5000u);
  NoteChange(&settling, 4000);  // Row1 written 3 s after Row0
  EXPECT_EQ(SettleWait(settling, 4000), 5000u);
  EXPECT_EQ(SettleWait(settling, 8999), 1u);
  EXPECT_EQ(SettleWait(settling, 9000), 0u);
  EXPECT_EQ(SettleWait(settling, 60000), 0u);
  Settling restless = {};
  for (unsigned long long at = 100000; at <= 128000; at += 4000) NoteChange(&restless, at);
  EXPECT_EQ(SettleWait(restless, 128000), 2000u);
  EXPECT_EQ(SettleWait(restless, 130000), 0u);
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

// The console's command line, one row per way to get it right or wrong.
#include <gtest/gtest.h>

#include <functional>

#include "cli/cli_commands.h"
#include "cli/cli_options.h"

namespace {

struct OptionCase {
  std::vector<std::string> args;
  bool accepted;
  std::string error;                            // part of the reason, when refused
  bool json;                                    // answers a refusal in JSON
  std::function<bool(const CliOptions&)> check; // what was taken, when accepted
};

TEST(ConsoleOptions, EachCommandTakesExactlyItsOptionsWhole) {
  const std::string notUtf8 = "Caf\xE9";
  const OptionCase cases[] = {
      {{"write", "--port", ""}, false, "--port takes a port name", false, nullptr},
      {{"write", "--port="}, false, "--port takes a port name", false, nullptr},
      {{"find", "--port", "/dev/tty\xFF"}, true, "", false,
       [](const CliOptions& o) { return o.port.size() == 9 && o.port[8] == 0xDCFF; }},
      {{"preview", "--frames", "2x"}, false, "--frames takes", false, nullptr},
      {{"preview", "--frames", "-1"}, false, "--frames takes", false, nullptr},
      {{"preview", "--frames", "3"}, true, "", false, [](const CliOptions& o) { return o.frames == 3; }},
      {{"write", "--speed", "300ms / character"}, true, "", false,
       [](const CliOptions& o) { return o.speedPosition == 3; }},
      {{"write", "--speed=<10MS"}, true, "", false, [](const CliOptions& o) { return o.speedPosition == 0; }},
      {{"write"}, true, "", false, [](const CliOptions& o) { return o.speedPosition == 3 && !o.rowGiven[0]; }},
      {{"write", "--speed", "250ms", "--json"}, false, "unknown speed", true, nullptr},
      {{"write", "--p", "COM3"}, false, "takes no option --p", false, nullptr},
      {{"write", "--row", "x"}, false, "takes no option --row", false, nullptr},
      {{"write", "--json", "--port --row0", "7", "--check"}, false, "takes no option --port --row0", true, nullptr},
      // Whatever is wrong, an argument list with --json is answered in JSON.
      {{"record", "--speed", "--json"}, false, "unknown speed", true, nullptr},
      {{"--json"}, false, "unknown command '--json'", true, nullptr},
      {{"bogus", "--json"}, false, "unknown command 'bogus'", true, nullptr},
      {{"write", "--row0", "--json"}, false, "--row0 needs a value", true, nullptr},
      {{"--help", "--json"}, false, "--json", true, nullptr},
      {{"--version", "--json"}, false, "--json", true, nullptr},
      {{"record", "--port", "COM3"}, false, "'record' takes no option --port", false, nullptr},
      {{"preview", "--frames", "0"}, false, "--frames takes", false, nullptr},
      {{"find", "--row0", "x"}, false, "'find' takes no option --row0", false, nullptr},
      {{"factory-default", "--row1", "x"}, false, "takes no option --row1", false, nullptr},
      {{"write", "--row1"}, false, "--row1 needs a value", false, nullptr},
      {{"write", "--row1", "--state-dir=/tmp/x"}, false, "--row1 needs a value", false, nullptr},
      {{"write", "--row0", "--port"}, false, "--row0 needs a value", false, nullptr},
      {{"write", "--row0=--port"}, true, "", false, [](const CliOptions& o) { return o.rows[0] == u"--port"; }},
      {{"write", "--row0", "--- SALE ---"}, true, "", false,
       [](const CliOptions& o) { return o.rowGiven[0] && o.rows[0] == u"--- SALE ---"; }},
      {{"write", "--row0", notUtf8}, false, "--row0 is not valid UTF-8", false, nullptr},
      {{"write", "--json=yes"}, false, "--json takes no value", true, nullptr},
      {{"write", "-v", "-q"}, false, "do not go together", false, nullptr},
      {{"write", "--row0", "help"}, true, "", false, [](const CliOptions& o) { return o.command == CLI_WRITE; }},
      {{"write", "--help"}, true, "", false, [](const CliOptions& o) { return o.command == CLI_HELP; }},
      {{"write", "--state-dir", "/s", "--if-changed", "--check", "--strict"}, true, "", false,
       [](const CliOptions& o) { return o.stateDir == "/s" && o.ifChanged && o.check && o.strict; }},
      {{"describe", "--json"}, true, "", false, [](const CliOptions& o) { return o.command == CLI_DESCRIBE && o.json; }},
      {{"erase"}, false, "unknown command 'erase'", false, nullptr},
      {{"apply", "--config", "/m.conf", "--validate"}, true, "", false,
       [](const CliOptions& o) { return o.command == CLI_APPLY && o.config == "/m.conf" && o.validate; }},
      {{"apply", "--port", "/dev/ttyUSB0", "--check", "--json", "--state-dir", "/s", "-q"}, true, "", false,
       [](const CliOptions& o) { return o.port == u"/dev/ttyUSB0" && o.check && o.json && o.config.empty(); }},
      {{"apply", "--config="}, false, "--config takes a file", false, nullptr},
      {{"apply", "--metrics-file", "/m.prom"}, true, "", false,
       [](const CliOptions& o) { return o.metricsFile == "/m.prom"; }},
      {{"apply", "--row0", "x", "--json"}, false, "'apply' takes no option --row0", true, nullptr},
      {{"apply", "--if-changed"}, false, "'apply' takes no option --if-changed", false, nullptr},
      {{"write", "--config", "/m.conf"}, false, "'write' takes no option --config", false, nullptr},
      {{"forget", "--port", "COM3", "--state-dir", "/s", "--metrics-file", "/m.prom", "--json", "-q"}, true, "", false,
       [](const CliOptions& o) { return o.command == CLI_FORGET && o.port == u"COM3" && o.metricsFile == "/m.prom"; }},
      {{"forget", "--check"}, false, "'forget' takes no option --check", false, nullptr},
      // --strict refuses a row that --no-transliterate would cut, as it
      // refuses one that transliteration would change.
      {{"write", "--row0", "Caf\xC3\xA9", "--strict"}, true, "", false,
       [](const CliOptions& o) { return !RowsOf(o).refusal.empty(); }},
      {{"write", "--row0", "Caf\xC3\xA9", "--strict", "--no-transliterate"}, true, "", false,
       [](const CliOptions& o) { return !RowsOf(o).refusal.empty(); }},
  };
  for (const OptionCase& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += "[" + arg + "] ";
    SCOPED_TRACE(line);
    CliOptions options;
    std::string error;
    bool json = false;
    ASSERT_EQ(ParseCliOptions(c.args, &options, &error, &json), c.accepted) << error;
    if (!c.accepted) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_EQ(json, c.json);
    } else if (c.check) {
      EXPECT_TRUE(c.check(options));
    }
  }
}

}  // namespace

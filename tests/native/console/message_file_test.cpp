// The message file of `apply`, one row per way to write it right or wrong;
// and the ports a pattern names, over a directory standing in for /dev.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "cli/message_file.h"
#include "cli/message_file_platform.h"
#include "cli/message_policy.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct FileCase {
  std::string text;
  std::string error;                            // empty: accepted; else the whole line
  std::function<bool(const MessageFile&)> check;  // what was taken, when accepted
};

const std::string Rows = "row0 = Hello\nrow1 = World\n";

TEST(MessageFile, EachLineIsTakenOrRefusedWithItsNumber) {
  const FileCase cases[] = {
      {"\xEF\xBB\xBF# shop 12\r\n\r\nrow0 = Caf\xC3\xA9 #1 \r\n  row1=\"  a = b  \"\r\nspeed = <10MS\r\n", "",
       [](const MessageFile& f) {
         return f.rows[0] == u"Caf\u00e9 #1" && f.rows[1] == u"  a = b  " && f.speedPosition == 0 && !f.strict &&
                f.port.empty() && f.lineOf[MESSAGE_ROW0] == 3 && f.lineOf[MESSAGE_SPEED] == 5;
       }},
      {Rows + "speed = 300ms / character\nport = /dev/serial/by-id/usb-FTDI_*\nstrict = Yes\nrow0x", "m.conf:6: expected key = value",
       nullptr},
      {Rows + "speed = 500ms\nport = /dev/serial/by-id/usb-FTDI_*\nstrict = Yes", "",
       [](const MessageFile& f) {
         return f.speedPosition == 5 && f.strict && f.port == "/dev/serial/by-id/usb-FTDI_*" && f.lineOf[MESSAGE_PORT] == 4;
       }},
      {"  # shop 12\n\t# row0 = Sale\n" + Rows + "speed = 100ms\n", "",
       [](const MessageFile& f) { return f.rows[0] == u"Hello" && f.lineOf[MESSAGE_ROW0] == 3; }},
      {"row0 =\nrow1 = \"\"\nspeed = 100ms\nstrict = false\n", "",
       [](const MessageFile& f) { return f.rows[0].empty() && f.rows[1].empty() && !f.strict; }},
      {"row0 = a\n\nrwo1 = b\n", "m.conf:3: unknown key 'rwo1' (row0, row1, speed, port, strict)", nullptr},
      {"Row0 = a\n", "m.conf:1: unknown key 'Row0' (row0, row1, speed, port, strict)", nullptr},
      {Rows + "speed = 250ms\n", "m.conf:3: unknown speed '250ms' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)", nullptr},
      {Rows + "speed =\n", "m.conf:3: unknown speed '' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)", nullptr},
      {"row0 = a\nrow1 = Caf\xE9\nspeed = 100ms\n", "m.conf:2: not valid UTF-8", nullptr},
      {"# caf\xE9\n" + Rows, "m.conf:1: not valid UTF-8", nullptr},
      {"row0 = \xC0\xAF\n", "m.conf:1: not valid UTF-8", nullptr},
      // A NUL ends the text for whatever reads it as C text: wherever it is,
      // the file is refused, never shown or stored cut short.
      {"row0 = \"abc\0def\"\nrow1 = x\nspeed = 100ms\nstrict = true\n"s, "m.conf:1: holds a NUL character", nullptr},
      {Rows + "speed = 100ms\n# shop\0 12\n"s, "m.conf:4: holds a NUL character", nullptr},
      {Rows + "speed = 100ms\0\n"s, "m.conf:3: holds a NUL character", nullptr},
      {"row0 = \"Hello\nport = /dev/ttyS0\n", "m.conf:1: the value begins with a double quote but does not end with one",
       nullptr},
      {"row0 = \"\n", "m.conf:1: the value begins with a double quote but does not end with one", nullptr},
      {Rows + "row0 = again\n", "m.conf:3: row0 is given twice (first on line 1)", nullptr},
      {"= x\n", "m.conf:1: expected key = value", nullptr},
      {Rows + "speed = 100ms\nstrict = 1\n", "", [](const MessageFile& f) { return f.strict; }},
      {Rows + "speed = 100ms\nstrict = NO\n", "", [](const MessageFile& f) { return !f.strict; }},
      {Rows + "speed = 100ms\nstrict = 0\n", "", [](const MessageFile& f) { return !f.strict; }},
      {Rows + "strict = on\n", "m.conf:3: strict takes true or false (also yes or no, 1 or 0), not 'on'", nullptr},
      {Rows + "port =\n", "m.conf:3: port is empty (leave the line out to let the program look for the display)", nullptr},
      {Rows + "port = ttyS1\n", "m.conf:3: port is a path such as /dev/ttyS1, or a pattern over /dev/serial/by-id/",
       nullptr},
      {Rows + "port = /dev/ttyUSB*\n",
       "m.conf:3: a pattern is taken only over /dev/serial/by-id/ (ttyUSB numbers change from one plug-in to the next)",
       nullptr},
      {Rows + "port = /dev/ttyUSB[01]\n",
       "m.conf:3: a pattern is taken only over /dev/serial/by-id/ (ttyUSB numbers change from one plug-in to the next)",
       nullptr},
      {Rows + "port = /dev/serial/by-id/*/x\n",
       "m.conf:3: a pattern is taken only over /dev/serial/by-id/ (ttyUSB numbers change from one plug-in to the next)",
       nullptr},
      {Rows, "m.conf: no speed line (row0, row1 and speed are required)", nullptr},
      {"", "m.conf: no row0 line (row0, row1 and speed are required)", nullptr},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.text);
    MessageFile file;
    std::string error;
    bool accepted = ParseMessageFile("m.conf", c.text, &file, &error);
    EXPECT_EQ(accepted, c.error.empty()) << error;
    if (!accepted) {
      EXPECT_EQ(error, c.error);
    } else if (c.check) {
      EXPECT_TRUE(c.check(file));
    }
  }
}

// The policy's values (what Group Policy writes from the template) under the
// file's rules, each mistake naming the value.
TEST(MessagePolicy, EachValueIsTakenOrRefusedByItsName) {
  const PolicyValue text = {POLICY_TEXT, "", 0}, absent = {POLICY_ABSENT, "", 0};
  auto Text = [&](const char* value) { PolicyValue v = text; v.text = value; return v; };
  auto Number = [](unsigned long value) { return PolicyValue{POLICY_NUMBER, "", value}; };
  const PolicyValue hello = Text("Hello"), world = Text("World");
  const std::string key = "HKLM\\SOFTWARE\\Policies\\vfdstartup\\";
  const struct {
    MessagePolicy policy;  // Row0, Row1, Speed, Port, Strict
    bool holds;
    std::string error;
  } cases[] = {
      {{{hello, world, Text("100ms"), Text(""), Number(1)}}, true, ""},
      {{{hello, world, Text("250ms"), absent, absent}}, true,
       key + "Speed: unknown speed '250ms' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)"},
      {{{hello, absent, Text("100ms"), absent, absent}}, true, key + "Row1: missing (Row0, Row1 and Speed are required)"},
      {{{absent, world, absent, absent, absent}}, true, key + "Row0: missing (Row0, Row1 and Speed are required)"},
      {{{hello, world, Number(100), absent, absent}}, true, key + "Speed: not a REG_SZ value"},
      {{{hello, world, Text("100ms"), absent, Number(2)}}, true, key + "Strict: takes 1 (strict) or 0, not 2"},
      {{{hello, world, Text("100ms"), absent, Text("1")}}, true, key + "Strict: not a REG_DWORD value (1: strict, 0: not)"},
      {{{hello, world, Text("100ms"), Text("ttyS1"), absent}}, true,
       key + "Port: port is a path such as /dev/ttyS1, or a pattern over /dev/serial/by-id/"},
      {{{absent, absent, Text("100ms"), Text("/dev/ttyS1"), Number(1)}}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(PolicyHoldsMessage(c.policy), c.holds);
    if (!c.holds) continue;
    MessageFile file;
    std::string error;
    EXPECT_EQ(ParseMessagePolicy(c.policy, &file, &error), c.error.empty()) << error;
    EXPECT_EQ(error, c.error);
    if (c.error.empty()) {
      EXPECT_TRUE(file.fromPolicy && file.rows[1] == u"World" && file.speedPosition == 1 && file.strict && file.port.empty());
    }
  }
}

TEST(MessageFile, APatternNamesTheMatchingByIdLinksInOrderAndAPathItself) {
  char name[] = "/tmp/vfd-message-file-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  std::string byId = std::string(name) + "/serial/by-id/";
  fs::create_directories(byId);
  for (const char* link : {"usb-FTDI_B-if00-port0", "usb-FTDI_A-if00-port0", "usb-Printer-if00-port0"})
    std::ofstream(byId + link).put('x');
  setenv("VFDSTARTUP_DEV_ROOT", name, 1);
  std::u16string dir(byId.begin(), byId.end());
  EXPECT_EQ(PortsOfSetting("/dev/serial/by-id/usb-FTDI_*"),
            (std::vector<std::u16string>{dir + u"usb-FTDI_A-if00-port0", dir + u"usb-FTDI_B-if00-port0"}));
  EXPECT_EQ(PortsOfSetting("/dev/serial/by-id/usb-FTDI_[AB]-if00-port0"),
            (std::vector<std::u16string>{dir + u"usb-FTDI_A-if00-port0", dir + u"usb-FTDI_B-if00-port0"}));
  EXPECT_TRUE(PortsOfSetting("/dev/serial/by-id/usb-Scanner*").empty());
  EXPECT_EQ(PortsOfSetting("/dev/ttyS1"), std::vector<std::u16string>{u"/dev/ttyS1"});
  unsetenv("VFDSTARTUP_DEV_ROOT");
  fs::remove_all(name);
}

}  // namespace

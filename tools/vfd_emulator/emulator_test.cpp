// The emulated module's parser, fault modes, control commands and display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control.h"
#include "device.h"
#include "display.h"
#include "protocol/startup_view.h"
#include "protocol_expected.h"

namespace {

using expected::Concat;
const Bytes& Enter = expected::EnterCommand;
const Bytes& Query = expected::QueryCommand;
const Bytes& Write = expected::WriteCommand;
const Bytes& Exit = expected::ExitCommand;

Bytes Hex(const std::string& text) {
  Bytes bytes;
  EXPECT_TRUE(ParseHexBytes(text, bytes)) << text;
  return bytes;
}

// Command bytes inside the record are message text, not commands.
Bytes TestRecord() {
  Bytes record = expected::Record(0x11, std::string(Enter.begin(), Enter.end()), "");
  record[70] = 'X';
  return record;
}

std::vector<DeviceAction> Feed(DeviceState& device, const Bytes& bytes) {
  return FeedDevice(device, bytes.data(), bytes.size());
}

// "name" for commands (with ! when ignored), "tx:<hex>@<ms>", "stored",
// "ignored:<hex>", "hangup": one string per action, for compact expectations.
std::string Describe(const std::vector<DeviceAction>& actions) {
  std::string text;
  for (const DeviceAction& a : actions) {
    if (!text.empty()) text += " ";
    switch (a.kind) {
      case ActionKind::Command: text += a.name + (a.accepted ? "" : "!"); break;
      case ActionKind::Send:
        text += "tx:" + HexString(a.bytes.data(), a.bytes.size()) + "@" + std::to_string(a.delayMs);
        break;
      case ActionKind::RecordStored: text += "stored"; break;
      case ActionKind::Ignored: text += "ignored:" + HexString(a.bytes.data(), a.bytes.size()); break;
      case ActionKind::Hangup: text += "hangup"; break;
    }
  }
  return text;
}

DeviceState DeviceWith(const std::vector<std::string>& commands) {
  DeviceState device = NewDevice(ModuleFactoryRecord());
  for (const std::string& command : commands) {
    ControlEffects effects;
    std::string error;
    EXPECT_TRUE(ApplyControlCommand(device, command, effects, error)) << command << ": " << error;
  }
  return device;
}

struct ReplyCase {
  std::vector<std::string> commands;
  std::string actions;  // what the device does, as Describe puts it
};

std::string RunSession(DeviceState& device) {
  std::string all;
  for (const Bytes& chunk : {Enter, Query, Concat({Write, TestRecord()}), Exit}) {
    all += (all.empty() ? "" : " | ") + Describe(Feed(device, chunk));
  }
  return all;
}

TEST(EmulatedModule, AnswersAFullWriteSessionExactly) {
  const std::string type = HexString(DefaultProductType().data(), expected::ProductTypeLength);
  const ReplyCase cases[] = {
      {{}, "enter tx:28650100@0 | query tx:286540" + type + "@0 | write stored tx:28653200@0 | exit"},
      {{"mode bad-query"}, "enter tx:28650100@0 | query tx:286541" + type + "@0 | write stored tx:28653200@0 | exit"},
      {{"mode bad-query 28 65 40"}, "enter tx:28650100@0 | query tx:286540@0 | write stored tx:28653200@0 | exit"},
  };
  for (const ReplyCase& c : cases) {
    DeviceState device = DeviceWith(c.commands);
    EXPECT_EQ(RunSession(device), c.actions);
    EXPECT_EQ(Bytes(device.record.begin(), device.record.end()), TestRecord());
    EXPECT_FALSE(device.setupMode);
  }
}

TEST(EmulatedModule, IgnoresEverythingButEnterOutsideSetupMode) {
  DeviceState device = DeviceWith({});
  EXPECT_EQ(Describe(Feed(device, Concat({Query, Exit, Write}))), "query! exit! write!");
  // Without set-up mode the record bytes are no record: they are skipped.
  EXPECT_EQ(Describe(Feed(device, Hex("13 41 42"))), "ignored:134142");
  EXPECT_EQ(Describe(Feed(device, Enter)), "enter tx:28650100@0");
}

TEST(EmulatedModule, AssemblesCommandsAcrossChunksAndSkipsNoise) {
  DeviceState device = DeviceWith({});
  std::string seen;
  for (uint8_t byte : Concat({Hex("00 1f 1f"), Enter})) seen += Describe(Feed(device, Bytes{byte}));
  EXPECT_EQ(seen, "ignored:00ignored:1fignored:1fenter tx:28650100@0");
  // The record in two 64-byte writes, as the program sends it.
  Bytes record = TestRecord();
  EXPECT_EQ(Describe(Feed(device, Write)), "write");
  EXPECT_EQ(Describe(Feed(device, Bytes(record.begin(), record.begin() + 64))), "");
  EXPECT_EQ(Describe(Feed(device, Bytes(record.begin() + 64, record.end()))), "stored tx:28653200@0");
}

TEST(EmulatedModule, FaultModesShapeTheReplies) {
  const ReplyCase cases[] = {
      {{"mode normal"}, "enter tx:28650100@0"},
      {{"mode silent"}, "enter"},
      {{"mode garbage"}, "enter tx:a55aff001337c3@0"},
      {{"mode garbage 28 65"}, "enter tx:2865@0"},
      {{"mode split"}, "enter tx:2865@0 tx:0100@300"},
      {{"mode split 3 40"}, "enter tx:286501@0 tx:00@40"},
      {{"mode trickle 50"}, "enter tx:28@0 tx:65@50 tx:01@100 tx:00@150"},
      {{"mode extra-byte"}, "enter tx:2865010000@0"},
      {{"mode extra-byte ff 200"}, "enter tx:28650100@0 tx:ff@200"},
      {{"mode cts-down"}, "enter tx:28650100@0"},
      {{"reply-delay 4900", "mode split 2 10"}, "enter tx:2865@4900 tx:0100@4910"},
      {{"mode bad-enter"}, "enter tx:28650101@0"},
      {{"mode bad-enter 28 65 01"}, "enter tx:286501@0"},
  };
  for (const ReplyCase& c : cases) {
    DeviceState device = DeviceWith(c.commands);
    EXPECT_EQ(Describe(Feed(device, Enter)), c.actions) << c.commands.back();
  }
}

TEST(EmulatedModule, ConfirmationFaultsStillStoreTheRecord) {
  const ReplyCase cases[] = {
      {{"mode no-confirm"}, "write stored"},
      {{"mode short-confirm"}, "write stored tx:286532@0"},
      {{"mode bad-confirm"}, "write stored tx:28653201@0"},
      {{"mode bad-confirm 28 65 32 00 00"}, "write stored tx:2865320000@0"},
  };
  for (const ReplyCase& c : cases) {
    DeviceState device = DeviceWith(c.commands);
    Feed(device, Enter);
    EXPECT_EQ(Describe(Feed(device, Concat({Write, TestRecord()}))), c.actions) << c.commands[0];
    EXPECT_EQ(device.record[70], 'X');
  }
}

TEST(EmulatedModule, HangsUpInTheMiddleOfTheRecord) {
  DeviceState device = DeviceWith({"mode hangup 10"});
  Feed(device, Enter);
  EXPECT_EQ(Describe(Feed(device, Concat({Write, TestRecord()}))), "write hangup");
  EXPECT_EQ(device.pending.size(), 4u + 10u);  // what arrived before the hang-up
  EXPECT_EQ(DiscardPartialCommand(device).size(), 14u);
  EXPECT_EQ(device.record, ModuleFactoryRecord());
}

TEST(EmulatedModule, PowerCycleLeavesSetupModeAndDropsAHalfCommand) {
  DeviceState device = DeviceWith({});
  Feed(device, Concat({Enter, Write, Hex("13 41")}));
  PowerCycleDevice(device);
  EXPECT_FALSE(device.setupMode);
  EXPECT_EQ(Describe(Feed(device, Query)), "query!");
}

TEST(ControlCommands, ProductTypeKeepsBlanksAndEscapes) {
  struct Case {
    std::string line;
    Bytes expected;
  };
  const Bytes accepted(expected::AcceptedProductType, expected::AcceptedProductType + expected::ProductTypeLength);
  Bytes zeroForBlank = accepted;
  zeroForBlank.back() = 0;
  const Case cases[] = {
      {"product-type CU20029T307A01 \r\n", accepted},
      {"product-type \"CU20029T307A01\\x00\"", zeroForBlank},
      {"product-type \"a b\\\"\\\\\"", Bytes{'a', ' ', 'b', '"', '\\'}},
      {"product-type short", Bytes{'s', 'h', 'o', 'r', 't'}},
      {"product-type default", accepted},
  };
  for (const Case& c : cases) {
    DeviceState device = DeviceWith({"product-type XYZ", c.line});
    EXPECT_EQ(device.faults.productType, c.expected) << c.line;
  }
}

TEST(ControlCommands, RejectsBadCommandsWithoutChangingAnything) {
  const std::string bad[] = {
      "mode", "mode bogus", "mode split 0", "mode split 2 x", "mode split 1 2 3", "mode hangup 128",
      "mode hangup 0", "mode extra-byte 1", "mode silent now", "mode garbage zz", "record 00 11",
      "record-text 13 \"x\"", "record-text 13 \"x\" \"" + std::string(64, 'a') + "\"",
      "reply-delay", "reply-delay -1", "product-type \"open", "product-type bad\\q", "frobnicate",
      "quit now", "busy", "busy maybe"};
  for (const std::string& line : bad) {
    DeviceState device = DeviceWith({"mode split 3 30"});
    ControlEffects effects;
    std::string error;
    EXPECT_FALSE(ApplyControlCommand(device, line, effects, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
    EXPECT_EQ(device.faults.mode, FaultMode::Split) << line;
    EXPECT_EQ(device.faults.splitSize, 3u) << line;
    EXPECT_EQ(device.record, ModuleFactoryRecord()) << line;
  }
}

TEST(ControlCommands, ReportTheirEffects) {
  DeviceState device = DeviceWith({});
  std::string error;
  ControlEffects effects;
  ASSERT_TRUE(ApplyControlCommand(device, "record-text 15 \"Hello\" \"\"", effects, error));
  EXPECT_TRUE(effects.recordChanged);
  EXPECT_EQ(device.record[0], 0x15);
  EXPECT_EQ(device.record[64], 0x15);
  EXPECT_EQ(std::string(device.record.begin() + 1, device.record.begin() + 7), std::string("Hello\0", 6));
  EXPECT_EQ(device.record[65], 0);

  ControlEffects cts;
  ASSERT_TRUE(ApplyControlCommand(device, "mode cts-down", cts, error));
  EXPECT_TRUE(cts.linesChanged);
  ControlEffects same;
  ASSERT_TRUE(ApplyControlCommand(device, "mode cts-down", same, error));
  EXPECT_FALSE(same.linesChanged);

  Bytes hex(expected::RecordSize, 0x41);
  ControlEffects fromHex;
  ASSERT_TRUE(ApplyControlCommand(device, "record " + HexString(hex.data(), hex.size()), fromHex, error));
  EXPECT_EQ(device.record[127], 0x41);
  ControlEffects reset;
  ASSERT_TRUE(ApplyControlCommand(device, "  # a comment", reset, error));
  ASSERT_TRUE(ApplyControlCommand(device, "record default", reset, error));
  EXPECT_EQ(device.record, ModuleFactoryRecord());
}

TEST(Display, ScrollsLongRowsAtTheirSpeed) {
  struct Case {
    uint8_t speed;
    unsigned stepMs;
  };
  const Case speeds[] = {{0x10, 5}, {0x11, 100}, {0x13, 300}, {0x15, 500}, {0x16, 0}, {0x00, 0}};
  for (const Case& c : speeds) EXPECT_EQ(ScrollStepMs(c.speed), c.stepMs) << int(c.speed);

  Record record = ModuleFactoryRecord();  // 51 characters at 300 ms a step
  EXPECT_EQ(RowWindow(record.data(), 0, 0), "QV rm7700 All-in-One");
  EXPECT_EQ(RowWindow(record.data(), 0, 299), "QV rm7700 All-in-One");
  EXPECT_EQ(RowWindow(record.data(), 0, 300), "V rm7700 All-in-One ");
  EXPECT_EQ(RowWindow(record.data(), 0, 300 * 41), "          QV rm7700 ");  // wraps round
  EXPECT_EQ(RowWindow(record.data(), 0, 300 * 51), "QV rm7700 All-in-One");

  record[64] = 0x15;
  record[65] = 'H';
  record[66] = 'i';
  record[67] = 0;
  EXPECT_EQ(RowWindow(record.data(), 1, 100000), "Hi                  ");  // short rows stand still
}

TEST(Display, PrintsTheStoredMessageAsPlainText) {
  EXPECT_EQ(FormatMessageText(ModuleFactoryRecord()),
            "row0 speed=0x13 step_ms=300 text=\"" + std::string(expected::DefaultRow0) + "\"\n" +
                "row1 speed=0x13 step_ms=300 text=\"" + expected::DefaultRow1 + "\"\n");
  Record record{};
  record[0] = 0x10;
  record[1] = 0x7F;
  record[2] = '"';
  EXPECT_EQ(FormatMessageText(record),
            "row0 speed=0x10 step_ms=5 text=\"\\x7F\\\"\"\n"
            "row1 speed=0x00 step_ms=0 text=\"\"\n");
}

}  // namespace

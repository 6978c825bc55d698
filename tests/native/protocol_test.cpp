// The display protocol: row text rules and record layout, speed codes, reply
// shapes, the product type and the factory default.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/display_protocol.h"
#include "protocol_expected.h"

namespace {

typedef std::vector<BYTE> Bytes;
using expected::AcceptedProductType;
using expected::ProductTypeReply;
using expected::Wide;

std::u16string Repeat(char16_t unit, size_t n) { return std::u16string(n, unit); }

std::u16string Valid63() {
  std::u16string text;
  for (int i = 0; i < 63; ++i) text += static_cast<char16_t>(0x21 + i);  // '!' .. '_'
  return text;
}

// --- PrepareRowText ----------------------------------------------------

struct RowCase {
  const char* name;
  std::u16string text;
  std::string rowText;   // expected text bytes after the speed code
  bool wasCut;
  std::u16string kept;
};

std::vector<RowCase> RowCases() {
  std::u16string seventy;
  for (int i = 0; i < 70; ++i) seventy += static_cast<char16_t>(u'A' + i % 26);
  std::string seventyBytes(seventy.begin(), seventy.begin() + 63);
  std::u16string full = Valid63();
  std::string valid63(full.begin(), full.end());
  return {
      {"empty", u"", "", false, u""},
      {"plain", u"Hello", "Hello", false, u"Hello"},
      {"full 63 units", Valid63(), valid63, false, Valid63()},
      {"space and DEL are accepted", u" a\x7F b", " a\x7F b", false, u" a\x7F b"},
      {"first unit invalid", u"\x1F" u"abc", "", true, u""},
      {"tab in the middle", u"abc\tdef", "abc", true, u"abc"},
      {"0x80 cuts", u"abc\x80" u"def", "abc", true, u"abc"},
      {"accented letter cuts", u"abc\u00E9", "abc", true, u"abc"},
      // The low byte would be a valid character; the whole unit must count.
      {"0x0141 cuts, not stored as A", u"ab\u0141", "ab", true, u"ab"},
      {"0xFF20 cuts, not stored as space", u"ab\uFF20", "ab", true, u"ab"},
      {"surrogate pair cuts", u"ab\U0001F600", "ab", true, u"ab"},
      {"CR cuts", u"ab\rcd", "ab", true, u"ab"},
      {"invalid as 63rd unit cuts", Repeat(u'x', 62) + u"\t", std::string(62, 'x'), true,
       Repeat(u'x', 62)},
      {"invalid as 64th unit is not considered", Repeat(u'x', 63) + u"\t", std::string(63, 'x'),
       false, Repeat(u'x', 63)},
      {"70 units keep 63 without a cut", seventy, seventyBytes, false, seventy.substr(0, 63)},
  };
}

TEST(PrepareRowText, FillsRowAndReportsCut) {
  for (const RowCase& c : RowCases()) {
    SCOPED_TRACE(c.name);
    // Both rows of a record, pre-filled, so bytes never written and bytes
    // written outside the row both show up.
    for (DWORD offset : {DWORD(0), DWORD(expected::RowSize)}) {
      BYTE record[expected::RecordSize];
      std::memset(record, 0xAA, sizeof record);
      RowTextResult result = PrepareRowText(c.text.c_str(), 0x14, record + offset);

      Bytes row(expected::RowSize, 0x00);
      row[0] = 0x14;
      std::memcpy(row.data() + 1, c.rowText.data(), c.rowText.size());
      EXPECT_EQ(Bytes(record + offset, record + offset + expected::RowSize), row);
      DWORD other = offset == 0 ? expected::RowSize : 0;
      EXPECT_EQ(Bytes(record + other, record + other + expected::RowSize), Bytes(expected::RowSize, 0xAA));

      EXPECT_EQ(result.wasCut, c.wasCut);
      EXPECT_EQ(std::u16string(result.keptText), c.kept);
    }
  }
}

TEST(PrepareRowText, FullRowHasNoZeroByte) {
  BYTE row[expected::RowSize];
  PrepareRowText(Valid63().c_str(), 0x10, row);
  for (DWORD i = 0; i < expected::RowSize; ++i) EXPECT_NE(row[i], 0) << "byte " << i;
}

TEST(PrepareRowText, KeptTextIsTerminatedWhenFull) {
  RowTextResult result = PrepareRowText(Repeat(u'z', 80).c_str(), 0x10, std::vector<BYTE>(64).data());
  EXPECT_EQ(result.keptText[expected::RowTextMax], 0);
}

// --- speed codes --------------------------------------------------------

TEST(SpeedCodeFor, PositionPlus0x10AndNoSelection) {
  EXPECT_EQ(SpeedCodeFor(SpeedNoSelection), expected::NoSelectionSpeedCode);
  for (size_t i = 0; i < expected::SpeedRowCount; ++i)
    EXPECT_EQ(SpeedCodeFor(static_cast<int>(i)), expected::SpeedRows[i].code) << i;
}

TEST(SpeedLabels, TableOrderWithLessThanFirst) {
  ASSERT_EQ(static_cast<size_t>(SpeedCount), expected::SpeedRowCount);
  for (size_t i = 0; i < expected::SpeedRowCount; ++i) {
    const char* label = expected::SpeedRows[i].label;
    EXPECT_EQ(std::u16string(SpeedTable[i].label), std::u16string(label, label + std::strlen(label))) << i;
  }
  EXPECT_EQ(SpeedCodeFor(SpeedDefaultPosition), expected::DefaultSpeedCode);
}

// --- replies -------------------------------------------------------------

// Reply bytes sit in a large buffer, as they do in the receive buffer, with
// stray bytes after them that must not be taken into account.
struct ReplyBuffer {
  BYTE bytes[64];
  explicit ReplyBuffer(const Bytes& reply) {
    std::memset(bytes, 0x55, sizeof bytes);
    if (!reply.empty()) std::memcpy(bytes, reply.data(), reply.size());
  }
};

TEST(IsStatusReply, ExactlyFourBytesWithZeroStatus) {
  struct {
    const char* name;
    Bytes reply;
    DWORD count;
    BYTE function;
    bool accepted;
  } cases[] = {
      {"enter accepted", expected::EnterAccepted, 4, FunctionEnterSetup, true},
      {"write accepted", expected::WriteConfirmed, 4, FunctionWriteStartup, true},
      {"five bytes", {0x28, 0x65, 0x01, 0x00, 0x00}, 5, FunctionEnterSetup, false},
      {"three bytes", {0x28, 0x65, 0x01}, 3, FunctionEnterSetup, false},
      {"nothing", {}, 0, FunctionEnterSetup, false},
      {"wrong function", {0x28, 0x65, 0x32, 0x00}, 4, FunctionEnterSetup, false},
      {"non-zero status", {0x28, 0x65, 0x01, 0x01}, 4, FunctionEnterSetup, false},
      {"command echoed", {0x1F, 0x28, 0x65, 0x01}, 4, FunctionEnterSetup, false},
      {"wrong second byte", {0x28, 0x66, 0x01, 0x00}, 4, FunctionEnterSetup, false},
  };
  for (const auto& c : cases) {
    ReplyBuffer buffer(c.reply);
    EXPECT_EQ(IsStatusReply(c.count, buffer.bytes, c.function), c.accepted) << c.name;
  }
}

TEST(IsProductTypeReply, EighteenBytesBeginning286540) {
  Bytes good = ProductTypeReply(AcceptedProductType);
  Bytes otherType = ProductTypeReply("XYZ            ");
  Bytes wrongFunction = good;
  wrongFunction[2] = 0x41;
  Bytes wrongLead = good;
  wrongLead[0] = 0x1F;
  struct {
    const char* name;
    Bytes reply;
    DWORD count;
    bool accepted;
  } cases[] = {
      {"accepted type", good, 18, true},
      {"other type is still well formed", otherType, 18, true},
      {"17 bytes", good, 17, false},
      {"19 bytes", good, 19, false},
      {"status-sized", good, 4, false},
      {"wrong function", wrongFunction, 18, false},
      {"wrong lead", wrongLead, 18, false},
  };
  for (const auto& c : cases) {
    ReplyBuffer buffer(c.reply);
    EXPECT_EQ(IsProductTypeReply(c.count, buffer.bytes), c.accepted) << c.name;
  }
}

TEST(ProductType, AcceptedOnlyByteForByte) {
  struct {
    const char* name;
    std::string type;
    bool accepted;
  } cases[] = {
      {"exact", AcceptedProductType, true},
      {"zero in place of the space", std::string("CU20029T307A01\0", 15), false},
      {"trailing character differs", std::string("CU20029T307A01X", 15), false},
      {"lower case", std::string("cu20029t307a01 ", 15), false},
      {"first character differs", std::string("DU20029T307A01 ", 15), false},
      {"dashed catalogue name", std::string("CU20029-T307A-0", 15), false},
  };
  for (const auto& c : cases) {
    ReplyBuffer buffer(ProductTypeReply(c.type));
    EXPECT_EQ(IsAcceptedProductType(buffer.bytes), c.accepted) << c.name;
  }
}

TEST(ProductType, OnlyBytes3To17AreCompared) {
  ReplyBuffer buffer(ProductTypeReply(AcceptedProductType));
  buffer.bytes[0] = 0x00;  // the shape is IsProductTypeReply's business
  buffer.bytes[18] = 'Z';
  EXPECT_TRUE(IsAcceptedProductType(buffer.bytes));
}

TEST(ProductType, TextWidensEachByteAndEndsAtZero) {
  struct {
    const char* name;
    std::string type;
    std::u16string text;
  } cases[] = {
      {"accepted type", AcceptedProductType, u"CU20029T307A01 "},
      {"zero ends the text", std::string("CU20029T307A01\0", 15), u"CU20029T307A01"},
      {"zero early", std::string("AB\0DEFGHIJKLMNO", 15), u"AB"},
      {"high bytes zero-extended", "\xE9\xFF" "CDEFGHIJKLMNO", u"\u00E9\u00FF" u"CDEFGHIJKLMNO"},
  };
  for (const auto& c : cases) {
    ReplyBuffer buffer(ProductTypeReply(c.type));
    ProductTypeText text = MakeProductTypeText(buffer.bytes);
    EXPECT_EQ(std::u16string(text.text), c.text) << c.name;
    EXPECT_EQ(text.text[expected::ProductTypeLength], 0) << c.name;
  }
}

// --- defaults ------------------------------------------------------------

TEST(Defaults, RowTextsAre51CharactersAsShown) {
  EXPECT_EQ(std::u16string(DefaultRow0Text), Wide(expected::DefaultRow0));
  EXPECT_EQ(std::u16string(DefaultRow1Text), Wide(expected::DefaultRow1));
  EXPECT_EQ(std::u16string(DefaultRow0Text).size(), 51u);
  EXPECT_EQ(std::u16string(DefaultRow1Text).size(), 51u);
}

TEST(Defaults, FactoryRecordLayout) {
  EXPECT_EQ(Bytes(FactoryDefaultRecord.bytes, FactoryDefaultRecord.bytes + expected::RecordSize),
            expected::FactoryRecord());
}

TEST(Defaults, FactoryRecordMatchesTheDialogDefaultsThroughTheRowRule) {
  // What the dialog would send after "Set to factory default" filled its
  // fields is the constant record: both describe the same message.
  StartupMessageRecord built;
  std::memset(built.bytes, 0xAA, RecordLength);
  EXPECT_FALSE(PrepareRowText(DefaultRow0Text, SpeedCodeFor(SpeedDefaultPosition), built.bytes).wasCut);
  EXPECT_FALSE(
      PrepareRowText(DefaultRow1Text, SpeedCodeFor(SpeedDefaultPosition), built.bytes + RowLength)
          .wasCut);
  EXPECT_EQ(std::memcmp(built.bytes, FactoryDefaultRecord.bytes, RecordLength), 0);
}

}  // namespace

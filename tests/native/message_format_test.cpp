// Message formatting: %s substitution into a fixed buffer that an overlong
// argument must never overrun.
#include <gtest/gtest.h>

#include <string>

#include "protocol_expected.h"
#include "writing/message_format.h"

namespace {

using expected::MessageBufferUnits;
using expected::Wide;

TEST(FormatMessageText, SubstitutesTheArgument) {
  const std::u16string acceptedType = Wide(expected::AcceptedProductType);
  struct Case {
    std::u16string format;
    const char16_t* argument;
    std::u16string expected;
  } cases[] = {
      {Wide(expected::text::WriteOk), acceptedType.c_str(),
       Wide(expected::Format(expected::text::WriteOk, expected::AcceptedProductType))},
      {u"Product type: %s\r\n", u"", u"Product type: \r\n"},
      {u"Product type: %s\r\n", nullptr, u"Product type: \r\n"},
      {u"no conversion", u"unused", u"no conversion"},
      {u"%s", u"whole", u"whole"},
      {u"%s and %s", u"x", u"x and x"},
      {u"100%% sure, %d stays", u"x", u"100% sure, %d stays"},
      {u"ends with %", u"x", u"ends with %"},
      {u"%s%", u"x", u"x%"},
  };
  for (const Case& c : cases) {
    Utf16Unit buffer[MessageBufferUnits];
    FormatMessageText(buffer, MessageBufferUnits, c.format.c_str(), c.argument);
    EXPECT_EQ(std::u16string(buffer), c.expected);
  }
}

// The buffer sits inside a larger one filled with a guard value, so any
// unit written beyond it shows.
TEST(FormatMessageText, NeverWritesBeyondTheBuffer) {
  const Utf16Unit Guard = 0xBEEF;
  std::u16string longArgument(2 * MessageBufferUnits, u'a');
  std::u16string rowFormat = Wide(expected::text::Row0Cut);
  std::u16string rowPrefix = rowFormat.substr(0, rowFormat.find(u"%s"));
  struct Case {
    size_t units;
    std::u16string format;
    std::u16string expected;
  } cases[] = {
      {MessageBufferUnits, rowFormat, rowPrefix + std::u16string(MessageBufferUnits - 1 - rowPrefix.size(), u'a')},
      {8, u"abc%s", u"abcaaaa"},
      {8, u"abcdefghij", u"abcdefg"},
      {1, u"abc%s", u""},
  };
  for (const Case& c : cases) {
    std::u16string area(c.units + 16, Guard);
    FormatMessageText(&area[0], static_cast<DWORD>(c.units), c.format.c_str(), longArgument.c_str());
    EXPECT_EQ(std::u16string(area.c_str()), c.expected);
    EXPECT_EQ(area.find_first_not_of(Guard, c.units), std::u16string::npos);
  }
}

TEST(FormatMessageText, ZeroSizedBufferIsLeftAlone) {
  Utf16Unit unit = 0x1234;
  FormatMessageText(&unit, 0, u"text", u"x");
  EXPECT_EQ(unit, 0x1234);
}

}  // namespace

// The rows as the module will hold them: written in ASCII first, then the
// dialog's rules (63 characters, cut at a character that has no ASCII
// spelling), each change a warning; --strict refuses, --no-transliterate
// leaves the dialog's cut alone.
#include <gtest/gtest.h>

#include "job/message_rows.h"

namespace {

TEST(MessageRows, StoredAsTheModuleWillHoldThemWithAWarningForEachChange) {
  const std::u16string sixtyOne(61, u'x');
  const struct {
    std::u16string given;
    RowMode mode;
    std::u16string stored;
    std::string warning;   // empty: none
  } rows[] = {
      {u"Open 8-22", ROWS_TRANSLITERATE, u"Open 8-22", ""},
      {u"Caf\u00E9 au lait", ROWS_TRANSLITERATE, u"Cafe au lait",
       "row 0 is stored as \"Cafe au lait\": written in the characters the display can show"},
      // One letter becomes two past the 62nd character: the row is cut to 63.
      {sixtyOne + u"a\u00DF", ROWS_TRANSLITERATE, sixtyOne + u"as",
       "row 0 is stored as \"" + std::string(61, 'x') +
           "as\": written in the characters the display can show; cut to 63 of 64 characters"},
      {u"Tea \u4E2D tea", ROWS_TRANSLITERATE, u"Tea ",
       "row 0 is stored as \"Tea \": cut at \"\u4E2D\" (U+4E2D), which the display cannot show"},
      {u"Caf\u00E9", ROWS_DIALOG_CUT, u"Caf",
       "row 0 is stored as \"Caf\": cut at \"\u00E9\" (U+00E9), which the display cannot show"},
      {std::u16string(70, u'y'), ROWS_TRANSLITERATE, std::u16string(63, u'y'),
       "row 0 is stored as \"" + std::string(63, 'y') + "\": cut to 63 of 70 characters"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.warning);
    std::u16string given[2] = {row.given, u"Thank you"};
    MessageRows prepared = PrepareMessageRows(given, row.mode);
    EXPECT_EQ(prepared.stored[0], row.stored);
    EXPECT_EQ(prepared.stored[1], u"Thank you");
    EXPECT_EQ(prepared.warnings, row.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.warning});
    EXPECT_TRUE(prepared.refusal.empty());
    // What is stored, prepared again, stays as it is.
    std::u16string again[2] = {prepared.stored[0], prepared.stored[1]};
    EXPECT_TRUE(PrepareMessageRows(again, ROWS_STRICT).refusal.empty());
  }
  std::u16string accented[2] = {u"Ok", u"Cr\u00E8me"};
  EXPECT_EQ(PrepareMessageRows(accented, ROWS_STRICT).refusal, "row 1 would be stored as \"Creme\", not as given");
}

}  // namespace

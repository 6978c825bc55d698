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
      {u"Caf\u00E9 au lait \u00E9t\u00E9", ROWS_TRANSLITERATE, u"Cafe au lait ete",
       "row 0 is stored as \"Cafe au lait ete\": written in the characters the display can show: "
       "\"\u00E9\" (U+00E9) as \"e\""},
      // Each character not stored as given is named, by its code point.
      {u"Gr\u00FC\u00DFe\u200B \U0001F600 ok", ROWS_TRANSLITERATE, u"Grusse ",
       "row 0 is stored as \"Grusse \": written in the characters the display can show: \"\u00FC\" (U+00FC) as "
       "\"u\", \"\u00DF\" (U+00DF) as \"ss\", \"\u200B\" (U+200B) left out; cut at \"\U0001F600\" (U+1F600), "
       "which the display cannot show"},
      {u"Sale\x1B[2J", ROWS_TRANSLITERATE, u"Sale",
       "row 0 is stored as \"Sale\": cut at \"\x1B\" (U+001B), which the display cannot show"},
      // One letter becomes two past the 62nd character: the row is cut to 63.
      {sixtyOne + u"a\u00DF", ROWS_TRANSLITERATE, sixtyOne + u"as",
       "row 0 is stored as \"" + std::string(61, 'x') +
           "as\": written in the characters the display can show: \"\u00DF\" (U+00DF) as \"ss\"; cut to 63 of 64 "
       "characters"},
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
  // A NUL ends the text the module is sent: what follows it is not stored
  // (a message file can hold one), and --strict refuses it.
  std::u16string withNul[2] = {std::u16string(u"abc\0def", 7), u"Thank you"};
  MessageRows cut = PrepareMessageRows(withNul, ROWS_TRANSLITERATE);
  EXPECT_EQ(cut.stored[0], u"abc");
  EXPECT_EQ(cut.warnings, std::vector<std::string>{
                              std::string("row 0 is stored as \"abc\": cut at \"\0\" (U+0000), which the display cannot show", 76)});
  EXPECT_EQ(PrepareMessageRows(withNul, ROWS_STRICT).refusal, "row 0 would be stored as \"abc\", not as given");
  std::u16string accented[2] = {u"Ok", u"Cr\u00E8me"};
  EXPECT_EQ(PrepareMessageRows(accented, ROWS_STRICT).refusal, "row 1 would be stored as \"Creme\", not as given");
  // --strict --no-transliterate refuses by the dialog's cut and says so.
  EXPECT_EQ(PrepareMessageRows(accented, RowMode(ROWS_STRICT | ROWS_DIALOG_CUT)).refusal,
            "row 1 would be stored as \"Cr\", not as given");
}

}  // namespace

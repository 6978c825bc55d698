// Transliteration to what the display can show (ASCII 0x20..0x7F).
#include <gtest/gtest.h>

#include <string>

#include "text/transliterate.h"

namespace {

struct Case {
  std::u16string text;
  std::u16string expected;
};

// Each result, and each result transliterated once more, which must not
// change it.
void ExpectTransliterations(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    std::u16string result = TransliterateForDisplay(cases[i].text);
    EXPECT_EQ(result, cases[i].expected) << "row " << i;
    EXPECT_EQ(TransliterateForDisplay(result), result) << "row " << i;
  }
}

TEST(TransliterateForDisplay, LatinLetters) {
  const Case cases[] = {
      {u"Café au lait", u"Cafe au lait"},
      {u"Grüße aus Köln", u"Grusse aus Koln"},
      {u"Øl", u"Ol"},
      {u"Señor, ¿qué? Ça va", u"Senor, ?que? Ca va"},
      {u"Æble Þór 1½", u"AEble THor 1 1/2"},
      {u"Łódź Œuvre Dvořák İzmir", u"Lodz OEuvre Dvorak Izmir"},
      {u"Șiret ǅemal Ơn", u"Siret Dzemal On"},
      {u"Việt Nam, Phở", u"Viet Nam, Pho"},
      {u"Cafe\u0301 ᴬ²", u"Cafe A2"},
  };
  ExpectTransliterations(cases, sizeof cases / sizeof cases[0]);
}

TEST(TransliterateForDisplay, GreekAndCyrillic) {
  const Case cases[] = {
      {u"Αθήνα", u"Athena"},
      {u"Ευρώπη ΕΥΡΩΠΗ", u"Europe EUROPE"},
      {u"Αγγλία Ψάρι ΨΑΡΙ Ψ", u"Anglia Psari PSARI PS"},
      {u"Σωκράτης Ούζο", u"Sokrates Ouzo"},
      {u"Москва", u"Moskva"},
      {u"Щука ЩУКА Щ", u"Shchuka SHCHUKA SHCH"},
      {u"Чай поезд Елена", u"Chay poyezd Elena"},
      {u"Объявление Детский", u"Ob\"yavleniye Detskiy"},
      {u"Їжак Євро Ґанок", u"Yizhak Yevro Ganok"},
      {u"Љубљана Ђорђе", u"Ljubljana Dorde"},
  };
  ExpectTransliterations(cases, sizeof cases / sizeof cases[0]);
}

TEST(TransliterateForDisplay, PunctuationSymbolsCurrencyAndWhatIsNotSeen) {
  const Case cases[] = {
      {u"“Sale” – 20%", u"\"Sale\" - 20%"},
      {u"Wait… — ‘ok’ „ja“", u"Wait... - 'ok' ,,ja\""},
      {u"Shop™ № 5\u00a0×2", u"ShopTM No 5 *2"},
      {u"20 €", u"20 EUR"},
      {u"£5 ¥300 ₽ ₴ ₺ ₹ 99¢", u"GBP5 JPY300 RUB UAH TRY INR 99c"},
      {u"￠5 ￡5 ￥5", u"c5 GBP5 JPY5"},  // the hand-kept table's last rows
      {u"𝐒𝐚𝐥𝐞", u"Sale"},
      // Not to be seen (zero-width, format, variation selectors, the soft
      // hyphen): left out alike, wherever it stands.
      {u"Sale\u200B20%", u"Sale20%"},
      {u"\uFEFFOpen 8-22", u"Open 8-22"},
      {u"Love \u2764\uFE0F", u"Love \u2764"},
      {u"co\u00ADop\u200D\u2060\u202Eend", u"coopend"},
      {u"a\U000E0061b\U000E0100c", u"abc"},
  };
  ExpectTransliterations(cases, sizeof cases / sizeof cases[0]);
}

TEST(TransliterateForDisplay, LeavesWhatItCannotSpell) {
  const Case cases[] = {
      {u"", u""},
      {u"Plain ~!@#$%^&*()_+{}|:\"<>? 0123", u"Plain ~!@#$%^&*()_+{}|:\"<>? 0123"},
      {u"tab\there\x7f\x01", u"tab\there\x7f\x01"},
      {u"中文 Köln", u"中文 Koln"},
      {u"ok 😀 Øl", u"ok 😀 Ol"},
      {u"• 20℃ ¤ 5µg", u"• 20℃ ¤ 5µg"},
      {std::u16string(u"a\xD800Ø\xDC00", 4), std::u16string(u"a\xD800O\xDC00", 4)},
  };
  ExpectTransliterations(cases, sizeof cases / sizeof cases[0]);
}

// Every character on its own: unchanged, or spelled in what the display
// shows (never DEL or a control character), and that spelling stays.
TEST(TransliterateForDisplay, EveryCharacterBecomesDisplayableOrStays) {
  for (char32_t codePoint = 0x80; codePoint < 0x20000; ++codePoint) {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) continue;
    std::u16string text;
    if (codePoint < 0x10000) {
      text = std::u16string(1, static_cast<char16_t>(codePoint));
    } else {
      text = {static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)),
              static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF))};
    }
    std::u16string result = TransliterateForDisplay(text);
    if (result == text) continue;
    for (char16_t unit : result) ASSERT_TRUE(unit >= 0x20 && unit <= 0x7E) << std::hex << codePoint;
    ASSERT_EQ(TransliterateForDisplay(result), result) << std::hex << codePoint;
  }
}

}  // namespace

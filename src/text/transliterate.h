// Text for the display, which shows ASCII 0x20..0x7F only: every other
// character that has an ASCII spelling is written in it, as Unicode CLDR's
// transforms spell it through ICU (Any-Latin, Russian BGN for Cyrillic, then
// Latin-ASCII), from a table compiled in, so no ICU is needed to run:
//   "Grüße" -> "Grusse", "Øl" -> "Ol", "Αθήνα" -> "Athena",
//   "Щука" -> "Shchuka", "“Sale” – 20%" -> "\"Sale\" - 20%".
// Currency signs are written as their ISO codes: "20 €" -> "20 EUR".
//
// The transforms look at neighbours; the table follows some of that:
// - a capital spelled with several letters is in capitals unless a
//   lower-case letter follows ("ЩУКА" -> "SHCHUKA", "Щука" -> "Shchuka");
// - a letter spelled otherwise next to another one of its script is looked
//   up as a pair first ("ου" -> "ou", "γγ" -> "ng", "ое" -> "oye");
// - otherwise a character is spelled as in the middle of a word: "е" is "e"
//   even where BGN writes "ye" at the start of a word ("Елена" -> "Elena"),
//   and the dot BGN puts between letters that would read as one sound
//   ("Детский" -> "Det·skiy") is left out ("Detskiy");
// - a combining mark spells as nothing ("e" + U+0301 -> "e").
// Greek final sigma needs no rule: "ς" and "σ" are both "s".
//
// Characters that are not to be seen (zero-width spaces and joiners, the
// byte order mark, the soft hyphen, variation selectors, direction marks:
// Unicode's Default_Ignorable_Code_Point) are all left out alike.
//
// ASCII, control characters and DEL included, passes unchanged; so does a
// character with no spelling (a CJK ideograph, an emoji, "•", "℃"), where
// the caller cuts the row, and an unpaired surrogate. Transliterating the
// result again changes nothing.
#ifndef VFD_TEXT_TRANSLITERATE_H
#define VFD_TEXT_TRANSLITERATE_H

#include <string>
#include <vector>

// A character written otherwise: its spelling, empty when it was left out.
struct CharacterChange {
  char32_t codePoint;
  std::u16string spelling;
};

// changes, when given, gets one entry per character written otherwise, in order.
std::u16string TransliterateForDisplay(const std::u16string& text, std::vector<CharacterChange>* changes = nullptr);

#endif  // VFD_TEXT_TRANSLITERATE_H

// The tables behind TransliterateForDisplay: the ASCII spellings generated
// at build time from ICU's transforms (tools/translit/gen_translit_table.py
// writes translit_table.cpp into the build tree), and the hand-kept
// currency codes (currency_codes.cpp), which take precedence.
#ifndef VFD_TEXT_TRANSLIT_TABLE_H
#define VFD_TEXT_TRANSLIT_TABLE_H

#include <cstddef>
#include <cstdint>

enum TranslitFlag : uint8_t {
  // A capital spelled with several letters: written as given (capitals)
  // unless a lower-case letter follows, then in title case ("Shch").
  TRANSLIT_CAPITAL_BEFORE_LOWER = 1,
  // The character is a lower-case letter (what the rule above looks for).
  TRANSLIT_LOWER_CASE = 2,
  // A pair's spelling replaces its second character's; without the flag,
  // its first character's.
  TRANSLIT_PAIR_SECOND = 4,
};

// One character's spelling: TranslitText[offset .. offset + length).
struct TranslitSpelling {
  char32_t codePoint;
  uint16_t offset;
  uint8_t length;
  uint8_t flags;
};

// A letter spelled otherwise next to another letter ("ου" -> "ou").
struct TranslitPair {
  char32_t first;
  char32_t second;
  uint16_t offset;
  uint8_t length;
  uint8_t flags;
};

// Both sorted by code point (pairs by first, then second).
extern const char TranslitText[];
extern const TranslitSpelling TranslitSpellings[];
extern const size_t TranslitSpellingCount;
extern const TranslitPair TranslitPairs[];
extern const size_t TranslitPairCount;

// Characters not to be seen (Unicode's Default_Ignorable_Code_Point:
// zero-width, format and variation selector characters), generated like the
// spellings; sorted, first <= last.
struct IgnorableRange {
  char32_t first;
  char32_t last;
};

extern const IgnorableRange IgnorableRanges[];
extern const size_t IgnorableRangeCount;

struct CurrencyCode {
  char32_t sign;
  const char* code;
};

extern const CurrencyCode CurrencyCodes[];
extern const size_t CurrencyCodeCount;

#endif  // VFD_TEXT_TRANSLIT_TABLE_H

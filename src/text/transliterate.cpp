#include "text/transliterate.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "text/translit_table.h"
#include "text/utf_convert.h"

namespace {

// A character's ASCII spelling; text is null when it has none.
struct Spelling {
  const char* text;
  size_t length;
  uint8_t flags;
};

const Spelling NoSpelling = {nullptr, 0, 0};
const Spelling LeftOut = {"", 0, 0};

// Unpaired surrogates become code points of their own, so they go back out
// as they came.
std::vector<char32_t> DecodeUtf16(const std::u16string& text) {
  std::vector<char32_t> codePoints;
  codePoints.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) codePoints.push_back(CodePointAt(text, &i));
  return codePoints;
}

Spelling FindSpelling(char32_t codePoint) {
  const TranslitSpelling* end = TranslitSpellings + TranslitSpellingCount;
  const TranslitSpelling* found = std::lower_bound(
      TranslitSpellings, end, codePoint,
      [](const TranslitSpelling& entry, char32_t value) { return entry.codePoint < value; });
  if (found == end || found->codePoint != codePoint) return NoSpelling;
  return {TranslitText + found->offset, found->length, found->flags};
}

// side: TRANSLIT_PAIR_SECOND for the spelling of second after first, 0 for
// the spelling of first before second.
Spelling FindPair(char32_t first, char32_t second, uint8_t side) {
  const TranslitPair* end = TranslitPairs + TranslitPairCount;
  const TranslitPair* found = std::lower_bound(
      TranslitPairs, end, first, [second](const TranslitPair& entry, char32_t value) {
        return entry.first < value || (entry.first == value && entry.second < second);
      });
  if (found == end || found->first != first || found->second != second) return NoSpelling;
  if ((found->flags & TRANSLIT_PAIR_SECOND) != side) return NoSpelling;
  return {TranslitText + found->offset, found->length, found->flags};
}

bool IsIgnorable(char32_t codePoint) {
  const IgnorableRange* end = IgnorableRanges + IgnorableRangeCount;
  const IgnorableRange* found = std::lower_bound(
      IgnorableRanges, end, codePoint, [](const IgnorableRange& range, char32_t value) { return range.last < value; });
  return found != end && found->first <= codePoint;
}

Spelling FindCurrencyCode(char32_t codePoint) {
  for (size_t i = 0; i < CurrencyCodeCount; ++i) {
    if (CurrencyCodes[i].sign == codePoint) return {CurrencyCodes[i].code, std::strlen(CurrencyCodes[i].code), 0};
  }
  return NoSpelling;
}

bool IsLowerCase(char32_t codePoint) {
  if (codePoint < 0x80) return codePoint >= 'a' && codePoint <= 'z';
  return (FindSpelling(codePoint).flags & TRANSLIT_LOWER_CASE) != 0;
}

// The spelling of codePoints[index] among its neighbours: nothing for a
// character not to be seen, a currency code, a pair's, or the character's own.
Spelling SpellingAt(const std::vector<char32_t>& codePoints, size_t index) {
  char32_t current = codePoints[index];
  if (IsIgnorable(current)) return LeftOut;
  Spelling spelling = FindCurrencyCode(current);
  if (!spelling.text && index > 0) spelling = FindPair(codePoints[index - 1], current, TRANSLIT_PAIR_SECOND);
  if (!spelling.text && index + 1 < codePoints.size()) spelling = FindPair(current, codePoints[index + 1], 0);
  if (!spelling.text) spelling = FindSpelling(current);
  return spelling;
}

void AppendSpelling(const Spelling& spelling, bool titleCase, std::u16string* out) {
  for (size_t i = 0; i < spelling.length; ++i) {
    char letter = spelling.text[i];
    if (titleCase && i > 0 && letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    *out += static_cast<char16_t>(letter);
  }
}

}  // namespace

std::u16string TransliterateForDisplay(const std::u16string& text, std::vector<CharacterChange>* changes) {
  std::vector<char32_t> codePoints = DecodeUtf16(text);
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < codePoints.size(); ++i) {
    Spelling spelling = codePoints[i] < 0x80 ? NoSpelling : SpellingAt(codePoints, i);
    if (!spelling.text) {
      AppendUtf16(codePoints[i], &out);
      continue;
    }
    bool beforeLower = i + 1 < codePoints.size() && IsLowerCase(codePoints[i + 1]);
    size_t start = out.size();
    AppendSpelling(spelling, (spelling.flags & TRANSLIT_CAPITAL_BEFORE_LOWER) && beforeLower, &out);
    if (changes != nullptr) changes->push_back({codePoints[i], out.substr(start)});
  }
  return out;
}

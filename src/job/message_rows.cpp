#include "job/message_rows.h"

#include <algorithm>
#include <cstdio>

#include "text/transliterate.h"
#include "text/utf_convert.h"

namespace {

std::string Quoted(const std::u16string& text) { return "\"" + Utf16ToUtf8(text) + "\""; }

// The dialog's rule: the first 63 units, cut at the first the module cannot
// show. A NUL ends the text the row is made from: it cuts the row as well.
std::u16string StoredText(const std::u16string& text, size_t* cutAt) {
  std::u16string considered = text.substr(0, RowTextMax);
  BYTE row[RowLength];
  RowTextResult result = PrepareRowText(considered.c_str(), SpeedCodeFor(SpeedDefaultPosition), row);
  std::u16string kept(result.keptText);
  *cutAt = kept.size() < considered.size() ? kept.size() : std::u16string::npos;
  return kept;
}

// A character as a person can tell it: itself, and its code point.
std::string CodePointName(char32_t codePoint) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(codePoint));
  std::u16string character;
  AppendUtf16(codePoint, &character);
  return Quoted(character) + " (" + name + ")";
}

// Each character written otherwise, once, in the order they come.
std::string ChangesText(const std::vector<CharacterChange>& changes) {
  std::vector<std::string> named;
  for (const CharacterChange& change : changes) {
    std::string text = CodePointName(change.codePoint) + (change.spelling.empty() ? " left out" : " as " + Quoted(change.spelling));
    if (std::find(named.begin(), named.end(), text) == named.end()) named.push_back(text);
  }
  std::string text;
  for (size_t i = 0; i < named.size(); ++i) text += (i ? ", " : "") + named[i];
  return text;
}

// Why a row changed, in the order the changes happen.
std::string WhyChanged(const std::vector<CharacterChange>& changes, const std::u16string& field, size_t cutAt) {
  std::vector<std::string> why;
  if (!changes.empty()) why.push_back("written in the characters the display can show: " + ChangesText(changes));
  if (cutAt != std::u16string::npos)
    why.push_back("cut at " + CodePointName(CodePointAt(field, &cutAt)) + ", which the display cannot show");
  else if (field.size() > RowTextMax)
    why.push_back("cut to " + std::to_string(RowTextMax) + " of " + std::to_string(field.size()) + " characters");
  std::string text;
  for (size_t i = 0; i < why.size(); ++i) text += (i ? "; " : "") + why[i];
  return text;
}

}  // namespace

MessageRows PrepareMessageRows(const std::u16string rows[2], RowMode mode) {
  MessageRows prepared;
  for (int row = 0; row < 2; ++row) {
    const std::u16string& given = rows[row];
    std::vector<CharacterChange> changes;
    prepared.fields[row] = (mode & ROWS_DIALOG_CUT) != 0 ? given : TransliterateForDisplay(given, &changes);
    size_t cutAt = std::u16string::npos;
    prepared.stored[row] = StoredText(prepared.fields[row], &cutAt);
    if (prepared.stored[row] == given) continue;
    std::string name = "row " + std::to_string(row);
    if ((mode & ROWS_STRICT) != 0 && prepared.refusal.empty())
      prepared.refusal = name + " would be stored as " + Quoted(prepared.stored[row]) + ", not as given";
    prepared.warnings.push_back(name + " is stored as " + Quoted(prepared.stored[row]) + ": " +
                                WhyChanged(changes, prepared.fields[row], cutAt));
  }
  return prepared;
}

StartupMessageRecord RecordForRows(const MessageRows& rows, int speedPosition, bool factoryDefault) {
  if (factoryDefault) return FactoryDefaultRecord;
  StartupMessageRecord record = {};
  SpeedCode speed = SpeedCodeFor(speedPosition);
  for (int row = 0; row < 2; ++row) PrepareRowText(rows.stored[row].c_str(), speed, record.bytes + row * RowLength);
  return record;
}

#include "text/utf_convert.h"

namespace {

const char32_t Replacement = 0xFFFD;
const char16_t KeptByteBase = 0xDC00;  // a kept byte b is KeptByteBase + b, b >= 0x80

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The well-formed sequence at *at: its code point, and *at moved past it.
// False, with *at unchanged, when the bytes there start none.
bool DecodeAt(const std::string& text, size_t* at, char32_t* value) {
  static const char32_t Smallest[4] = {0, 0x80, 0x800, 0x10000};
  unsigned char lead = static_cast<unsigned char>(text[*at]);
  int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
  if (extra < 0 || *at + extra >= text.size()) return false;
  char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text[*at + k]);
    if ((next & 0xC0) != 0x80) return false;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < Smallest[extra] || c > 0x10FFFF || IsSurrogate(c)) return false;
  *at += 1 + extra;
  *value = c;
  return true;
}

void AppendUtf8(char32_t value, std::string* out) {
  if (value < 0x80) {
    *out += static_cast<char>(value);
    return;
  }
  int extra = value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
  static const unsigned char Lead[] = {0, 0xC0, 0xE0, 0xF0};
  *out += static_cast<char>(Lead[extra] | (value >> (6 * extra)));
  for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) *out += static_cast<char>(0x80 | ((value >> shift) & 0x3F));
}

}  // namespace

char32_t CodePointAt(const std::u16string& text, size_t* i) {
  char32_t unit = text[*i];
  bool high = unit >= 0xD800 && unit <= 0xDBFF;
  if (high && *i + 1 < text.size() && text[*i + 1] >= 0xDC00 && text[*i + 1] <= 0xDFFF) {
    ++*i;
    return 0x10000 + ((unit - 0xD800) << 10) + (text[*i] - 0xDC00);
  }
  return unit;
}

void AppendUtf16(char32_t codePoint, std::u16string* out) {
  if (codePoint < 0x10000) {
    *out += static_cast<char16_t>(codePoint);
    return;
  }
  codePoint -= 0x10000;
  *out += static_cast<char16_t>(0xD800 + (codePoint >> 10));
  *out += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
}

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t at = 0; at < text.size();) {
    char32_t c = 0;
    if (!DecodeAt(text, &at, &c)) return false;
    AppendUtf16(c, out);
  }
  return true;
}

std::u16string Utf16FromBytes(const std::string& bytes) {
  std::u16string out;
  for (size_t at = 0; at < bytes.size();) {
    char32_t c = 0;
    if (DecodeAt(bytes, &at, &c)) {
      AppendUtf16(c, &out);
    } else {
      out += static_cast<char16_t>(KeptByteBase + static_cast<unsigned char>(bytes[at]));
      ++at;
    }
  }
  return out;
}

std::string BytesFromUtf16(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = CodePointAt(text, &i);
    bool kept = IsSurrogate(c) && text[i] >= KeptByteBase + 0x80 && text[i] <= KeptByteBase + 0xFF;
    if (kept) out += static_cast<char>(text[i] - KeptByteBase);
    else AppendUtf8(IsSurrogate(c) ? Replacement : c, &out);
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = CodePointAt(text, &i);
    AppendUtf8(IsSurrogate(c) ? Replacement : c, &out);
  }
  return out;
}

std::string ValidUtf8(const std::string& bytes) {
  std::string out;
  for (size_t at = 0; at < bytes.size();) {
    size_t start = at;
    char32_t c = 0;
    if (DecodeAt(bytes, &at, &c)) {
      out.append(bytes, start, at - start);
    } else {
      AppendUtf8(Replacement, &out);
      ++at;
    }
  }
  return out;
}

#include "cli/text_convert.h"

namespace {

const char32_t Replacement = 0xFFFD;

// The length of the sequence a lead byte starts, and its payload bits.
bool DecodeLead(unsigned char lead, int* length, char32_t* value) {
  if (lead < 0x80) { *length = 1; *value = lead; return true; }
  if ((lead & 0xE0) == 0xC0) { *length = 2; *value = lead & 0x1F; return true; }
  if ((lead & 0xF0) == 0xE0) { *length = 3; *value = lead & 0x0F; return true; }
  if ((lead & 0xF8) == 0xF0) { *length = 4; *value = lead & 0x07; return true; }
  return false;
}

bool IsWellFormed(char32_t value, int length) {
  static const char32_t Smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  return value >= Smallest[length] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

void AppendUtf16(char32_t value, std::u16string* out) {
  if (value < 0x10000) {
    *out += static_cast<char16_t>(value);
    return;
  }
  value -= 0x10000;
  *out += static_cast<char16_t>(0xD800 + (value >> 10));
  *out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
}

void AppendUtf8(char32_t value, std::string* out) {
  if (value < 0x80) {
    *out += static_cast<char>(value);
  } else if (value < 0x800) {
    *out += static_cast<char>(0xC0 | (value >> 6));
    *out += static_cast<char>(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    *out += static_cast<char>(0xE0 | (value >> 12));
    *out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (value & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (value >> 18));
    *out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (value & 0x3F));
  }
}

}  // namespace

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    int length = 0;
    char32_t value = 0;
    if (!DecodeLead(static_cast<unsigned char>(text[i]), &length, &value)) return false;
    if (i + length > text.size()) return false;
    for (int k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    if (!IsWellFormed(value, length)) return false;
    AppendUtf16(value, out);
    i += length;
  }
  return true;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool pairs = high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pairs) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00), &out);
    } else {
      AppendUtf8(unit >= 0xD800 && unit <= 0xDFFF ? Replacement : unit, &out);
    }
  }
  return out;
}

// The one place where text changes encoding. The logic's text is UTF-16; the
// console's arguments, output, files and POSIX paths are bytes, UTF-8 by
// convention. A name such as a port path may hold bytes that are not UTF-8:
// Utf16FromBytes keeps each such byte as the lone unit U+DC80 + byte, and
// BytesFromUtf16 gives the same bytes back, so a path survives the trip to
// the open call unchanged. Text meant for readers (JSON, messages) never
// carries those units: Utf16ToUtf8 shows them as U+FFFD.
#ifndef VFD_UTF_CONVERT_H
#define VFD_UTF_CONVERT_H

#include <string>

// Strict: false for bytes that are not well-formed UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF included); *out is then undefined.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);

// Every well-formed sequence decoded; every other byte kept as U+DC80 + byte.
std::u16string Utf16FromBytes(const std::string& bytes);

// The inverse of Utf16FromBytes: kept bytes come back as themselves; any
// other unpaired surrogate becomes U+FFFD.
std::string BytesFromUtf16(const std::u16string& text);

// Well-formed UTF-8 for readers: every unpaired surrogate, the kept bytes'
// units included, becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// Well-formed UTF-8 for readers of bytes that may not be: each byte that
// starts no well-formed sequence becomes U+FFFD.
std::string ValidUtf8(const std::string& bytes);

// The code point at text[*i]: a surrogate pair counts as one (*i is then
// moved to its second unit); an unpaired surrogate is its own value.
char32_t CodePointAt(const std::u16string& text, size_t* i);

// A code point as UTF-16: one unit, or a surrogate pair beyond U+FFFF.
void AppendUtf16(char32_t codePoint, std::u16string* out);

#endif  // VFD_UTF_CONVERT_H

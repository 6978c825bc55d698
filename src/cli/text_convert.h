// UTF-8 (the console's text: arguments, output, files) to and from UTF-16
// (the logic's text).
#ifndef VFD_CLI_TEXT_CONVERT_H
#define VFD_CLI_TEXT_CONVERT_H

#include <string>

// False for bytes that are not well-formed UTF-8 (overlong forms, surrogates
// and values beyond U+10FFFF included); *out is then undefined.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

#endif  // VFD_CLI_TEXT_CONVERT_H

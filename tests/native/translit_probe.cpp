// For the check of the generated transliteration table against ICU
// (tools/translit/gen_translit_table.py --check): each line of standard
// input holds a text as hex UTF-16 units; each line of output, its
// transliteration the same way.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "text/transliterate.h"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream units(line);
    std::u16string text;
    unsigned unit = 0;
    while (units >> std::hex >> unit) text += static_cast<char16_t>(unit);
    std::string out;
    for (char16_t result : TransliterateForDisplay(text)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, out.empty() ? "%X" : " %X", static_cast<unsigned>(result));
      out += hex;
    }
    std::cout << out << '\n';
  }
  return 0;
}

// PrepareRowText on any UTF-16 text and speed code. The text sits in a heap
// block ending right after its terminator; the row has guard bytes on both
// sides and starts full of junk, so a byte left unwritten shows as well.
//
// Input: the speed code, then the text as little-endian units; the text
// ends at the input's end (or at a zero unit, as a terminated text does).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "protocol/display_protocol.h"

namespace {

const size_t Guard = 32;
const BYTE GuardByte = 0xA5;
const BYTE JunkByte = 0xCC;

bool IsRowCharacter(char16_t unit) { return unit >= 0x20 && unit <= 0x7F; }

// What the row must hold: the considered units are the first 63 (or fewer,
// up to the terminator); the kept text ends at the first unit outside
// 0x20..0x7F among them.
void CheckRow(const std::u16string& text, SpeedCode speed, const BYTE* row,
              const RowTextResult& result) {
  size_t considered = std::min<size_t>(TextUpToZero(text.c_str()).size(), expected::RowTextMax);
  size_t kept = 0;
  while (kept < considered && IsRowCharacter(text[kept])) ++kept;

  FUZZ_CHECK(row[0] == speed, "row byte 0 is not the speed code");
  for (size_t i = 0; i < expected::RowTextMax; ++i) {
    BYTE expected = i < kept ? static_cast<BYTE>(text[i]) : 0;
    FUZZ_CHECK(row[1 + i] == expected, "row text byte " + std::to_string(i) + " wrong");
  }
  FUZZ_CHECK(result.wasCut == (kept < considered), "cut flag wrong");
  FUZZ_CHECK(result.keptText[kept] == 0, "kept text not terminated after its " +
                                             std::to_string(kept) + " units");
  FUZZ_CHECK(TextUpToZero(result.keptText) == text.substr(0, kept),
             "kept text is not the prefix before the cut");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteFeed feed = MakeFeed(data, size);
  SpeedCode speed = TakeByte(&feed);
  std::u16string text = TakeUnits(&feed, (size - feed.position) / 2);

  std::unique_ptr<Utf16Unit[]> input(new Utf16Unit[text.size() + 1]);
  std::memcpy(input.get(), text.c_str(), (text.size() + 1) * sizeof(Utf16Unit));
  BYTE area[Guard + expected::RowSize + Guard];
  std::memset(area, GuardByte, sizeof area);
  std::memset(area + Guard, JunkByte, expected::RowSize);

  RowTextResult result = PrepareRowText(input.get(), speed, area + Guard);

  for (size_t i = 0; i < Guard; ++i) {
    FUZZ_CHECK(area[i] == GuardByte, "written before the row");
    FUZZ_CHECK(area[Guard + expected::RowSize + i] == GuardByte, "written past the row");
  }
  FUZZ_CHECK(std::memcmp(input.get(), text.c_str(), (text.size() + 1) * sizeof(Utf16Unit)) == 0,
             "the input text was changed");
  CheckRow(text, speed, area + Guard, result);
  return 0;
}

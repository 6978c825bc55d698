// ReadPortState on any kept state file, and ParseRecordHex on any text.
//
// Input: the state file's bytes. The device it is read for is the value of
// its first line that begins with "device=" (ttyS0 when there is none, or
// when that value is too long for a file name), so that a whole state of
// the device is easy to reach.
//
// A file that is there is never "no state". A state that is taken names its
// device and writes back to the same lines (record digits in either case,
// the last line's end optional), which read again write the same text. A
// record's hex that is taken is 256 digits, and written back the same.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "records/state_store.h"

namespace {

const char DefaultKey[] = "ttyS0";
const size_t KeyMax = 60;  // escaped three times over, still a file name
const char RecordLead[] = "record=";

std::string ReadDir, WriteDir;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The record's digits in upper case.
std::string RecordUpper(const std::string& line) {
  return line.compare(0, sizeof RecordLead - 1, RecordLead) == 0 ? Upper(line) : line;
}

std::string WrittenText(const PortState& state) {
  std::string reason, text;
  FUZZ_CHECK(WritePortState(WriteDir, state, &reason), "a state taken cannot be written: " + reason);
  FUZZ_CHECK(ReadWholeFile(WriteDir + "/" + StateFileName(state.stateKey), &text), "the state written is not there");
  return text;
}

void CheckTaken(const std::string& text, const std::string& key, const PortState& state) {
  FUZZ_CHECK(state.stateKey == key, "the state of " + state.stateKey + " taken for " + key);
  std::string written = WrittenText(state);
  std::vector<std::string> given = SortedLinesOf(text, RecordUpper), kept = SortedLinesOf(written, RecordUpper);
  FUZZ_CHECK(std::includes(kept.begin(), kept.end(), given.begin(), given.end()),
             "written back, the state lost lines:\n" + written);
  PortState again;
  std::string reason;
  FUZZ_CHECK(ReadPortState(WriteDir, key, &again, &reason) == STATE_FOUND, "the state written is damaged: " + reason);
  FUZZ_CHECK(WrittenText(again) == written, "read and written again, the state changed");
  std::string forgotten;
  FUZZ_CHECK(ForgetPortState(WriteDir, key, &forgotten), "the state written cannot be dropped: " + forgotten);
}

void CheckRecordHex(const std::string& text) {
  StartupMessageRecord record = {};
  if (!ParseRecordHex(text, &record)) return;
  FUZZ_CHECK(text.size() == 256, "a record's hex of " + std::to_string(text.size()) + " digits taken");
  FUZZ_CHECK(RecordHex(record) == Upper(text), "a record's hex does not come back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ReadDir.empty()) {
    ReadDir = MakeScratchDir("state-read");
    WriteDir = MakeScratchDir("state-write");
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string key = DeviceKeyOf(text, DefaultKey, KeyMax);
  std::string path = ReadDir + "/" + StateFileName(key);
  WriteWholeFile(path, text);
  PortState state;
  std::string reason;
  StateRead read = ReadPortState(ReadDir, key, &state, &reason);
  if (IsVerbose()) std::fprintf(stderr, "%s: %d %s\n", key.c_str(), static_cast<int>(read), reason.c_str());
  FUZZ_CHECK(read != STATE_NONE, "a state file that is there read as none");
  FUZZ_CHECK(read == STATE_FOUND || !reason.empty(), "a damaged state without a reason");
  if (read == STATE_FOUND) CheckTaken(text, key, state);
  std::remove(path.c_str());
  CheckRecordHex(text);
  return 0;
}

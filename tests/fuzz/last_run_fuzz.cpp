// ReadLastRun on any last-run file.
//
// Input: the file's bytes. The device it is read for is the value of its
// first line that begins with "device=" (ttyS0 when there is none, or when
// that value holds a backslash or is too long for a file name).
//
// A file that is there is never "no last run", and a damaged one says why.
// A last run that is taken names its device and writes back to the same
// lines (the last line's end optional), which read again give the same run.
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "records/last_run.h"

namespace {

const char DefaultKey[] = "ttyS0";
const size_t KeyMax = 60;  // escaped three times over, still a file name

std::string ReadDir, WriteDir;

std::string KeyOf(const std::string& text) {
  std::string key = DeviceKeyOf(text, DefaultKey, KeyMax);
  return key.find('\\') == std::string::npos ? key : DefaultKey;
}

bool SameRun(const LastRun& a, const LastRun& b) {
  return a.stateKey == b.stateKey && a.port == b.port && a.command == b.command && a.outcome == b.outcome &&
         a.reason == b.reason && a.detail == b.detail && a.time == b.time;
}

void CheckTaken(const std::string& text, const std::string& key, const LastRun& run) {
  FUZZ_CHECK(run.stateKey == key, "the last run of " + run.stateKey + " taken for " + key);
  std::string reason, written;
  FUZZ_CHECK(WriteLastRun(WriteDir, run, &reason), "a last run taken cannot be written: " + reason);
  FUZZ_CHECK(ReadWholeFile(WriteDir + "/" + DeviceFileName(key, ".last"), &written), "the last run written is not there");
  FUZZ_CHECK(SortedLinesOf(written) == SortedLinesOf(text), "written back, the last run changed:\n" + written);
  LastRun again;
  FUZZ_CHECK(ReadLastRun(WriteDir, key, &again, &reason) == STATE_FOUND, "the last run written is damaged: " + reason);
  FUZZ_CHECK(SameRun(run, again), "read again, the last run changed");
  FUZZ_CHECK(ForgetLastRun(WriteDir, key, &reason), "the last run written cannot be dropped: " + reason);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ReadDir.empty()) {
    ReadDir = MakeScratchDir("last-run-read");
    WriteDir = MakeScratchDir("last-run-write");
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string key = KeyOf(text);
  std::string path = ReadDir + "/" + DeviceFileName(key, ".last");
  WriteWholeFile(path, text);
  LastRun run;
  std::string reason;
  StateRead read = ReadLastRun(ReadDir, key, &run, &reason);
  if (IsVerbose()) std::fprintf(stderr, "%s: %d %s\n", key.c_str(), static_cast<int>(read), reason.c_str());
  FUZZ_CHECK(read != STATE_NONE, "a last-run file that is there read as none");
  FUZZ_CHECK(read == STATE_FOUND || !reason.empty(), "a damaged last run without a reason");
  if (read == STATE_FOUND) CheckTaken(text, key, run);
  std::remove(path.c_str());
  return 0;
}

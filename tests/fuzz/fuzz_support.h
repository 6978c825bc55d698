// What every fuzz target shares: a check that ends the run, a byte feed
// that turns the fuzzer's input into choices front to back (so seeds can be
// written by hand), a stream of read results for the simulated port, and a
// walker that holds a recorded run of platform calls against the order the
// serial link must follow.
#ifndef VFD_FUZZ_SUPPORT_H
#define VFD_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol_expected.h"
#include "sim_port.h"
#include "win_types.h"

// A broken invariant: prints what and where, the platform calls so far, and
// aborts, which libFuzzer reports as a crash with the input that caused it.
[[noreturn]] void FuzzFail(const char* file, int line, const std::string& what);
#define FUZZ_CHECK(condition, what) \
  do {                              \
    if (!(condition)) FuzzFail(__FILE__, __LINE__, what); \
  } while (0)

// True when VFD_FUZZ_VERBOSE is set: the targets then print what each input
// did (run the fuzzer on single files to see a seed or a crash explained).
bool IsVerbose();
void PrintEvents();

// The fuzzer's bytes, taken from the front. An exhausted feed gives zeros.
struct ByteFeed {
  const uint8_t* data;
  size_t size;
  size_t position;
};

ByteFeed MakeFeed(const uint8_t* data, size_t size);
bool IsExhausted(const ByteFeed* feed);
uint8_t TakeByte(ByteFeed* feed);
uint16_t TakeU16(ByteFeed* feed);  // little-endian
// n bytes: what the feed still has, then the pattern i * 7 + 3 up to n.
Bytes TakeBytes(ByteFeed* feed, size_t n);
// n UTF-16 units, little-endian pairs (missing units come out as 0x20).
std::u16string TakeUnits(ByteFeed* feed, size_t n);

// The results of successive reads, taken from the feed as they are asked for.
// One selector byte per result:
//   0x00 nothing has arrived (an empty read)   0x01 the read fails
//   0x02..0xEF a piece of (selector - 1) bytes, the bytes follow
//   0xF0..0xFF a long piece: a 16-bit length (1..4600) follows, then bytes
// A piece longer than the read asks for is handed over in the following
// reads, the way a driver keeps what did not fit. An exhausted feed gives
// empty reads for ever: a device that has gone quiet.
struct ReadStream {
  ByteFeed* feed;
  Bytes carried;
};

bool NextReadResult(ReadStream* stream, DWORD size, Bytes* delivered);
// Makes every read of the port come from the stream.
void FeedPortReads(SimPort* port, ReadStream* stream);

// How a module (the emulator's device logic on a simulated port) misbehaves:
//   mode (selector % FaultModeCount, in FaultMode's order), reply delay (x 40 ms),
//   the mode's own bytes: garbage, bad-enter, bad-query, bad-confirm: a count
//     (% 24), then the bytes; split: size (% 20, 0 as 1), 16-bit pause (% 12000);
//     trickle: 16-bit pause (% 2000); extra-byte: the byte, 16-bit pause
//     (% 2000); hangup: after (% 127 + 1) record bytes;
//   the product type: 0xFF the accepted one, else a count (% 40) and bytes.
void TakeModuleFaults(ByteFeed* feed, SimModule* module);

// A recorded run of simulated platform calls, walked in order. Every event
// must come at the virtual time the walk expects: time moves only by the
// sleeps the walk accepts and by a write that stalls on CTS.
struct TranscriptWalk {
  size_t next;
  uint64_t clockMs;
  DWORD writeTimeoutConstantMs;  // the write total timeout in force
};

TranscriptWalk BeginWalk(size_t firstEvent, uint64_t clockMs);
bool IsWalkAtEnd(const TranscriptWalk* walk);
const SimEvent& PeekEvent(const TranscriptWalk* walk);  // FuzzFail at the end
// The next event, which must be of this kind; checks its time.
const SimEvent& TakeEvent(TranscriptWalk* walk, const std::string& kind);
void WalkSleep(TranscriptWalk* walk, DWORD ms);
// DrainInput: reads of expected::DrainReadSize, at least two, until the first
// empty read after the first. False where a read failed.
bool WalkDrain(TranscriptWalk* walk);
// ReadReply(minimum): the bytes collected go to *collected, and they must be
// what ReceiveBuffer now holds. False where a read failed.
bool WalkReply(TranscriptWalk* walk, DWORD minimumCount, Bytes* collected);
// One write of exactly these bytes; true when it counts as sent (every byte
// accepted). A write that stalls on CTS may only cost its write timeout.
bool WalkWrite(TranscriptWalk* walk, const Bytes& bytes);
int EventsTaken(const TranscriptWalk* walk);

// Settings written with SetCommState or SetCommTimeouts, every attempt in
// order, the failAt-th (from 1) failing: true when every successful change
// is followed by an attempt to write back what the port held before it.
// (After a failed write-back the port keeps the changed settings, and the
// next operation saves and writes back those.)
template <typename Settings>
bool IsPutBackAfterChange(const std::vector<Settings>& attempts, int failAt, const Settings& original,
                          bool (*same)(const Settings&, const Settings&)) {
  Settings current = original;
  Settings before = original;
  bool pending = false;
  for (size_t i = 0; i < attempts.size(); ++i) {
    bool applied = failAt != static_cast<int>(i) + 1;
    if (pending && same(attempts[i], before)) {
      pending = false;
    } else if (applied && !pending && !same(attempts[i], current)) {
      pending = true;
      before = current;
    }
    if (applied) current = attempts[i];
  }
  return !pending;
}

std::u16string TextUpToZero(const Utf16Unit* text);

// --- files, for the parsers of what the program reads from disk ----------

// A fresh directory of this process's own, removed at exit: under /dev/shm
// where there is one (a state file is synced, which costs nothing there),
// else under $TMPDIR or /tmp.
std::string MakeScratchDir(const char* name);
// The whole file replaced by these bytes; FuzzFail when it cannot be.
void WriteWholeFile(const std::string& path, const std::string& bytes);
// The whole file; false when it is not there.
bool ReadWholeFile(const std::string& path, std::string* bytes);
bool FileExists(const std::string& path);
// The device a key-value file is read for: the value of its first line that
// begins with "device=", or fallback when there is none or the value is
// longer than maxSize.
std::string DeviceKeyOf(const std::string& text, const std::string& fallback, size_t maxSize);
// The file's lines (the last line's end optional), each passed through shape
// when it is given, sorted: two files with the same lines in any order match.
std::vector<std::string> SortedLinesOf(std::string text, std::string (*shape)(const std::string&) = nullptr);

#endif  // VFD_FUZZ_SUPPORT_H

// ReadReply and DrainInput against a port that delivers any stream of read
// results: pieces of any length (up to past the whole ReceiveBuffer), empty
// reads and failures. Each call is held against the algorithm: the reads it
// makes and their sizes, the pauses, the count, the bytes in ReceiveBuffer,
// and the virtual time spent.
//
// Input: up to 16 operations, each one byte (odd: DrainInput; even: ReadReply
// with the minimum chosen by the next byte), with the read results (see
// ReadStream) taken from the same bytes as the reads ask for them.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "serial/serial_link.h"

namespace {

const int OperationsMax = 16;
const DWORD MinimumChoices[] = {4, 18, 4, 18, 0, 1, 2, 5, 64, 4095, 4096, 4097, 0xFFFFFFFFu};

DWORD TakeMinimum(ByteFeed* feed) {
  uint8_t selector = TakeByte(feed);
  const size_t choices = sizeof MinimumChoices / sizeof MinimumChoices[0];
  if (selector < 0xF0) return MinimumChoices[selector % choices];
  return TakeU16(feed);
}

void CheckReply(SerialLink* link, DWORD minimum) {
  size_t first = SimEvents().size();
  uint64_t startMs = SimNow();
  DWORD count = 0xDEADBEEF;
  bool ok = ReadReply(link, minimum, &count);

  TranscriptWalk walk = BeginWalk(first, startMs);
  Bytes collected;
  bool expectedOk = WalkReply(&walk, minimum, &collected);
  FUZZ_CHECK(IsWalkAtEnd(&walk), "ReadReply made calls after it should have returned");
  FUZZ_CHECK(ok == expectedOk, "ReadReply's error flag is wrong");
  FUZZ_CHECK(SimNow() == walk.clockMs, "ReadReply spent time outside its pauses");
  if (!ok) return;
  FUZZ_CHECK(count <= expected::ReceiveBufferSize, "count beyond ReceiveBuffer");
  FUZZ_CHECK(count == collected.size(), "count is not the number of bytes read");
  FUZZ_CHECK(count == 0 || std::memcmp(ReceiveBuffer, collected.data(), count) == 0,
             "ReceiveBuffer does not hold the bytes in the order they came");
}

void CheckDrain(SerialLink* link) {
  size_t first = SimEvents().size();
  uint64_t startMs = SimNow();
  bool ok = DrainInput(link);

  TranscriptWalk walk = BeginWalk(first, startMs);
  bool expectedOk = WalkDrain(&walk);
  FUZZ_CHECK(IsWalkAtEnd(&walk), "DrainInput read on after the first empty read");
  FUZZ_CHECK(ok == expectedOk, "DrainInput's result is wrong");
  FUZZ_CHECK(SimNow() == startMs, "DrainInput waited");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SimReset();
  ByteFeed feed = MakeFeed(data, size);
  ReadStream stream = {&feed, {}};
  SimPort* port = SimAddPort("COM1");
  FeedPortReads(port, &stream);
  SerialLink link;
  FUZZ_CHECK(OpenPort(u"COM1", &link), "the port did not open");
  for (int i = 0; i < OperationsMax && !IsExhausted(&feed); ++i) {
    if (TakeByte(&feed) & 1) CheckDrain(&link);
    else CheckReply(&link, TakeMinimum(&feed));
  }
  ClosePort(&link);
  SimReset();
  return 0;
}

// Shared pieces of the fuzz targets: checks, the byte feed, the read stream
// and the transcript walker.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t DumpedEventsMax = 400;
const size_t DumpedBytesMax = 48;
const DWORD ReadPieceMax = 4600;
const uint8_t SelectorEmpty = 0x00;
const uint8_t SelectorFail = 0x01;
const uint8_t SelectorLong = 0xF0;

// Long reads are cut to their first bytes.
void DumpEvent(size_t index, const SimEvent& e) {
  std::string hex = HexOf(e.bytes.data(), std::min<size_t>(e.bytes.size(), DumpedBytesMax));
  if (e.bytes.size() > DumpedBytesMax) hex += " ...(" + std::to_string(e.bytes.size()) + " bytes)";
  std::fprintf(stderr, "  #%zu t=%llu %s%s value=%u %s\n", index,
               static_cast<unsigned long long>(e.timeMs), e.kind.c_str(), e.ok ? "" : " (failed)",
               static_cast<unsigned>(e.value), hex.c_str());
}

}  // namespace

bool IsVerbose() {
  static const bool verbose = std::getenv("VFD_FUZZ_VERBOSE") != nullptr;
  return verbose;
}

void PrintEvents() {
  const std::vector<SimEvent>& events = SimEvents();
  std::fprintf(stderr, "platform calls (%zu):\n", events.size());
  for (size_t i = 0; i < events.size() && i < DumpedEventsMax; ++i) DumpEvent(i, events[i]);
}

void FuzzFail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n", file, line, what.c_str());
  PrintEvents();
  std::abort();
}

ByteFeed MakeFeed(const uint8_t* data, size_t size) { return ByteFeed{data, size, 0}; }

bool IsExhausted(const ByteFeed* feed) { return feed->position >= feed->size; }

uint8_t TakeByte(ByteFeed* feed) {
  return IsExhausted(feed) ? 0 : feed->data[feed->position++];
}

uint16_t TakeU16(ByteFeed* feed) {
  uint16_t low = TakeByte(feed);
  return static_cast<uint16_t>(low | (TakeByte(feed) << 8));
}

Bytes TakeBytes(ByteFeed* feed, size_t n) {
  Bytes bytes;
  bytes.reserve(n);
  while (bytes.size() < n && !IsExhausted(feed)) bytes.push_back(TakeByte(feed));
  for (size_t i = bytes.size(); i < n; ++i) bytes.push_back(static_cast<BYTE>(i * 7 + 3));
  return bytes;
}

std::u16string TakeUnits(ByteFeed* feed, size_t n) {
  std::u16string units;
  for (size_t i = 0; i < n; ++i)
    units += IsExhausted(feed) ? u' ' : static_cast<char16_t>(TakeU16(feed));
  return units;
}

bool NextReadResult(ReadStream* stream, DWORD size, Bytes* delivered) {
  if (stream->carried.empty() && !IsExhausted(stream->feed)) {
    uint8_t selector = TakeByte(stream->feed);
    if (selector == SelectorFail) return false;
    if (selector >= SelectorLong)
      stream->carried = TakeBytes(stream->feed, TakeU16(stream->feed) % ReadPieceMax + 1);
    else if (selector != SelectorEmpty)
      stream->carried = TakeBytes(stream->feed, selector - 1u);
  }
  size_t take = stream->carried.size() < size ? stream->carried.size() : size;
  delivered->assign(stream->carried.begin(), stream->carried.begin() + take);
  stream->carried.erase(stream->carried.begin(), stream->carried.begin() + take);
  return true;
}

void FeedPortReads(SimPort* port, ReadStream* stream) {
  port->reader = [stream](SimPort*, DWORD size, Bytes* delivered) {
    return NextReadResult(stream, size, delivered);
  };
}

void TakeModuleFaults(ByteFeed* feed, SimModule* module) {
  FaultSettings& faults = module->device.faults;
  faults.mode = static_cast<FaultMode>(TakeByte(feed) % FaultModeCount);
  faults.replyDelayMs = TakeByte(feed) * 40u;
  switch (faults.mode) {
    case FaultMode::Garbage: faults.garbage = TakeBytes(feed, TakeByte(feed) % 24); break;
    case FaultMode::BadEnter: faults.badEnter = TakeBytes(feed, TakeByte(feed) % 24); break;
    case FaultMode::BadQuery: faults.badQuery = TakeBytes(feed, TakeByte(feed) % 24); break;
    case FaultMode::BadConfirm: faults.badConfirm = TakeBytes(feed, TakeByte(feed) % 24); break;
    case FaultMode::Split:
      faults.splitSize = TakeByte(feed) % 20;
      faults.splitDelayMs = TakeU16(feed) % 12000;
      break;
    case FaultMode::Trickle: faults.trickleDelayMs = TakeU16(feed) % 2000; break;
    case FaultMode::ExtraByte:
      faults.extraByte = TakeByte(feed);
      faults.extraDelayMs = TakeU16(feed) % 2000;
      break;
    case FaultMode::Hangup: faults.hangupAfter = TakeByte(feed) % 127 + 1; break;
    default: break;
  }
  uint8_t type = TakeByte(feed);
  if (type != 0xFF) faults.productType = TakeBytes(feed, type % 40);
}

// --- the transcript walker ---------------------------------------------

TranscriptWalk BeginWalk(size_t firstEvent, uint64_t clockMs) {
  return TranscriptWalk{firstEvent, clockMs, 0};
}

bool IsWalkAtEnd(const TranscriptWalk* walk) { return walk->next >= SimEvents().size(); }

const SimEvent& PeekEvent(const TranscriptWalk* walk) {
  FUZZ_CHECK(!IsWalkAtEnd(walk), "the run ended early, at event #" + std::to_string(walk->next));
  return SimEvents()[walk->next];
}

const SimEvent& TakeEvent(TranscriptWalk* walk, const std::string& kind) {
  const SimEvent& e = PeekEvent(walk);
  std::string where = " at event #" + std::to_string(walk->next);
  FUZZ_CHECK(e.kind == kind, "expected " + kind + ", got " + e.kind + where);
  uint64_t expectedTime = walk->clockMs + (kind == "sleep" ? e.value : 0);
  FUZZ_CHECK(kind == "write" || e.timeMs == expectedTime,
             "virtual time " + std::to_string(e.timeMs) + " instead of " +
                 std::to_string(expectedTime) + where);
  walk->clockMs = kind == "write" ? walk->clockMs : e.timeMs;
  walk->next++;
  return e;
}

void WalkSleep(TranscriptWalk* walk, DWORD ms) {
  const SimEvent& e = TakeEvent(walk, "sleep");
  FUZZ_CHECK(e.value == ms, "slept " + std::to_string(e.value) + " ms instead of " +
                                std::to_string(ms) + " at event #" + std::to_string(walk->next - 1));
}

namespace {

// One read of the given size; false when it failed.
bool WalkRead(TranscriptWalk* walk, DWORD size, Bytes* bytes) {
  const SimEvent& e = TakeEvent(walk, "read");
  FUZZ_CHECK(e.value == size, "read of " + std::to_string(e.value) + " bytes instead of " +
                                  std::to_string(size) + " at event #" +
                                  std::to_string(walk->next - 1));
  FUZZ_CHECK(e.bytes.size() <= size, "a read brought more than it asked for");
  *bytes = e.bytes;
  return e.ok;
}

}  // namespace

bool WalkDrain(TranscriptWalk* walk) {
  Bytes bytes;
  if (!WalkRead(walk, expected::DrainReadSize, &bytes)) return false;
  do {
    if (!WalkRead(walk, expected::DrainReadSize, &bytes)) return false;
  } while (!bytes.empty());
  return true;
}

bool WalkReply(TranscriptWalk* walk, DWORD minimumCount, Bytes* collected) {
  collected->clear();
  unsigned silentPolls = 0;
  while (collected->size() < expected::ReceiveBufferSize) {
    Bytes piece;
    DWORD room = static_cast<DWORD>(expected::ReceiveBufferSize - collected->size());
    if (!WalkRead(walk, room, &piece)) return false;
    if (!piece.empty()) {
      collected->insert(collected->end(), piece.begin(), piece.end());
      if (collected->size() >= minimumCount) return true;
      WalkSleep(walk, expected::ReplyPiecePauseMs);
      silentPolls = 0;
      continue;
    }
    WalkSleep(walk, expected::ReplyPollMs);
    if (++silentPolls >= expected::ReplySilentPolls) return true;
  }
  return true;
}

bool WalkWrite(TranscriptWalk* walk, const Bytes& bytes) {
  const SimEvent& e = TakeEvent(walk, "write");
  std::string where = " at event #" + std::to_string(walk->next - 1);
  FUZZ_CHECK(e.value == bytes.size(), "write of " + std::to_string(e.value) + " bytes instead of " +
                                          std::to_string(bytes.size()) + where);
  FUZZ_CHECK(e.bytes.size() <= bytes.size() &&
                 std::equal(e.bytes.begin(), e.bytes.end(), bytes.begin()),
             "wrote " + HexOf(e.bytes) + " instead of " + HexOf(bytes) + where);
  if (e.timeMs != walk->clockMs) {
    // Output waits for CTS until the write total timeout, then ends short.
    uint64_t stall = 2ull * bytes.size() + walk->writeTimeoutConstantMs;
    FUZZ_CHECK(e.timeMs == walk->clockMs + stall && e.bytes.empty(),
               "time moved during a write" + where);
    walk->clockMs = e.timeMs;
  }
  return e.ok && e.bytes.size() == bytes.size();
}

int EventsTaken(const TranscriptWalk* walk) { return static_cast<int>(walk->next); }

std::u16string TextUpToZero(const Utf16Unit* text) {
  std::u16string out;
  for (; text != nullptr && *text != 0; ++text) out += *text;
  return out;
}



// --- files ---------------------------------------------------------------

namespace {

std::vector<std::string>& ScratchDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void RemoveScratchDirs() {
  std::error_code ignored;
  for (const std::string& dir : ScratchDirs()) std::filesystem::remove_all(dir, ignored);
}

std::string ScratchParent() {
  if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace

std::string MakeScratchDir(const char* name) {
  std::string pattern = ScratchParent() + "/vfd-fuzz-" + name + "-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  FUZZ_CHECK(mkdtemp(path.data()) != nullptr, "cannot make a scratch directory " + pattern);
  if (ScratchDirs().empty()) std::atexit(RemoveScratchDirs);
  ScratchDirs().push_back(path.data());
  return path.data();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  FUZZ_CHECK(out.good(), "cannot write " + path);
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *bytes = all.str();
  return true;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string DeviceKeyOf(const std::string& text, const std::string& fallback, size_t maxSize) {
  std::string lead = "device=";
  size_t at = text.compare(0, lead.size(), lead) == 0 ? 0 : text.find("\n" + lead);
  if (at == std::string::npos) return fallback;
  size_t begin = at + (at == 0 ? 0 : 1) + lead.size();
  std::string key = text.substr(begin, text.find('\n', begin) - begin);
  return key.size() <= maxSize ? key : fallback;
}

std::vector<std::string> SortedLinesOf(std::string text, std::string (*shape)(const std::string&)) {
  if (!text.empty() && text.back() != '\n') text += '\n';
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    lines.push_back(shape != nullptr ? shape(line) : line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

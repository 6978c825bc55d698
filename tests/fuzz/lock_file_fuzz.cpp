// What a run makes of a UUCP lock file it finds (FindLiveLock) or leaves
// (ReleaseLock), for any content: the file is read through the program's
// own reading of lock files, as a run reads /var/lock/LCK..ttyS0.
//
// Input: a mode byte (bit 0: ReleaseLock, else FindLiveLock), then the
// file's content, in which these pairs stand for process ids of this run:
//   %P / %B  this process, as text / as the 4-byte binary pid
//   %Q       the parent, a live process of another program, as text
//   %D / %E  a process id nobody holds, as text / as the binary pid
//
// A lock file is removed only when it names a process id: text digits
// (blanks around them), or a binary pid a process can have (1..4194304, the
// kernel's limit); anything else is somebody's claim that only a person can
// judge, kept and reported. A lock of a process that has ended is removed;
// this run's own is neither a claim nor removed by the look, and is removed
// when the run lets go of it. A holder reported is the process it names.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "serial/port_claim_posix.h"

namespace {

// The largest process id this kernel hands out (its pid_max): a lock
// naming a larger one names no process.
int32_t KernelPidMax() {
  long value = 0;
  FILE* file = std::fopen("/proc/sys/kernel/pid_max", "re");
  if (file != nullptr && std::fscanf(file, "%ld", &value) != 1) value = 0;
  if (file != nullptr) std::fclose(file);
  return value > 0 ? static_cast<int32_t>(value) : 4194304;
}
const int32_t PidLimit = KernelPidMax();

std::string LockPath;
pid_t DeadPid = 0;

bool IsAlive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

void Prepare() {
  LockPath = MakeScratchDir("lock") + "/LCK..ttyFUZZ";
  for (DeadPid = PidLimit - 1; DeadPid > 1 && IsAlive(DeadPid); --DeadPid) {
  }
}

std::string Binary(pid_t pid) {
  int32_t value = pid;
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string Substituted(const std::string& input) {
  std::string out;
  for (size_t i = 0; i < input.size(); ++i) {
    char next = i + 1 < input.size() ? input[i + 1] : '\0';
    std::string with;
    if (input[i] == '%' && next == 'P') with = std::to_string(getpid());
    else if (input[i] == '%' && next == 'B') with = Binary(getpid());
    else if (input[i] == '%' && next == 'Q') with = std::to_string(getppid());
    else if (input[i] == '%' && next == 'D') with = std::to_string(DeadPid);
    else if (input[i] == '%' && next == 'E') with = Binary(DeadPid);
    if (with.empty()) {
      out += input[i];
      continue;
    }
    out += with;
    ++i;
  }
  return out;
}

// Text digits with blanks around them: the value, 0 for none or one past
// any process id. Strict: the HDB form, spaces, tabs and line ends only.
// Lenient: any white space, and a + before the digits.
long TextPid(const std::string& content, bool lenient) {
  auto blank = [lenient](char c) {
    return lenient ? std::isspace(static_cast<unsigned char>(c)) != 0 : c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  size_t i = 0;
  while (i < content.size() && blank(content[i])) ++i;
  if (lenient && i < content.size() && content[i] == '+') ++i;
  size_t digits = i;
  long value = 0;
  for (; i < content.size() && std::isdigit(static_cast<unsigned char>(content[i])); ++i)
    value = value > PidLimit ? value : value * 10 + (content[i] - '0');
  if (i == digits) return 0;
  for (; i < content.size(); ++i)
    if (!blank(content[i])) return 0;
  return value;
}

int32_t BinaryPid(const std::string& content) {
  int32_t value = 0;
  if (content.size() == sizeof value) std::memcpy(&value, content.data(), sizeof value);
  return value;
}

// Surely names the process: the HDB text (11 bytes; 16 at most here) or
// the binary pid.
bool NamesPid(const std::string& content, pid_t pid) {
  return (content.size() <= 16 && TextPid(content, false) == pid) || BinaryPid(content) == pid;
}

// May be read as the process's id.
bool MayNamePid(const std::string& content, pid_t pid) {
  return TextPid(content, true) == pid || BinaryPid(content) == pid;
}

bool NamesAnyPid(const std::string& content) {
  int32_t binary = BinaryPid(content);
  return TextPid(content, true) != 0 || (binary >= 1 && binary <= PidLimit);
}

void CheckLook(const std::string& content) {
  PortHolder holder;
  std::string problem;
  bool claimed = FindLiveLock(LockPath, "/dev/null", &holder, &problem);
  bool kept = FileExists(LockPath);
  std::string shown = " (" + HexOf(reinterpret_cast<const BYTE*>(content.data()), content.size()) + ")";
  FUZZ_CHECK(kept || NamesAnyPid(content), "a lock naming no process id removed" + shown);
  FUZZ_CHECK(!claimed || kept, "a claim whose file is gone" + shown);
  FUZZ_CHECK(claimed || !kept || MayNamePid(content, getpid()), "a lock kept but not a claim" + shown);
  FUZZ_CHECK(!claimed || holder.lockFile == LockPath, "the claim names another file");
  // Whether it still lives is not asked again: another program's process may
  // end at any moment.
  FUZZ_CHECK(holder.processId == 0 || (holder.processId <= PidLimit && MayNamePid(content, holder.processId)),
             "holder " + std::to_string(holder.processId) + " is not the process the lock names" + shown);
  if (NamesPid(content, DeadPid)) FUZZ_CHECK(!kept, "the lock of an ended process kept" + shown);
  if (NamesPid(content, getpid())) FUZZ_CHECK(!claimed && kept, "this run's own lock taken for a claim" + shown);
  if (content.size() <= 16 && TextPid(content, false) == getppid())
    FUZZ_CHECK(claimed && holder.processId == getppid(), "a live process's lock not reported as its" + shown);
  std::string after;
  if (kept) FUZZ_CHECK(ReadWholeFile(LockPath, &after) && after == content, "a lock kept but changed" + shown);
}

void CheckRelease(const std::string& content) {
  ReleaseLock(LockPath);
  bool kept = FileExists(LockPath);
  std::string shown = " (" + HexOf(reinterpret_cast<const BYTE*>(content.data()), content.size()) + ")";
  FUZZ_CHECK(kept || MayNamePid(content, getpid()), "let go of a lock that is not this run's" + shown);
  char own[16];
  std::snprintf(own, sizeof own, "%10d\n", static_cast<int>(getpid()));
  FUZZ_CHECK(!kept || content != own, "this run's own lock left behind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (LockPath.empty()) Prepare();
  if (size == 0) return 0;
  std::string content = Substituted(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  WriteWholeFile(LockPath, content);
  if (IsVerbose()) std::fprintf(stderr, "lock of %zu bytes, mode %d\n", content.size(), data[0] & 1);
  if (data[0] & 1) CheckRelease(content);
  else CheckLook(content);
  std::remove(LockPath.c_str());
  return 0;
}

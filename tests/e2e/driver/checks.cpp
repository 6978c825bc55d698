#include "checks.h"

#include <cstdio>

#include "ui_automation.h"

namespace {

int Failures = 0;

bool Report(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "  ok  " : "  FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) {
    ++Failures;
  }
  return ok;
}

std::string Joined(const std::vector<std::wstring>& texts) {
  std::string joined;
  for (const std::wstring& text : texts) {
    joined += (joined.empty() ? "\"" : ", \"") + Visible(text) + "\"";
  }
  return "[" + joined + "]";
}

}  // namespace

bool Expect(bool condition, const std::string& what) { return Report(condition, what); }

bool ExpectText(const std::wstring& seen, const std::wstring& expected, const std::string& what) {
  if (seen == expected) {
    return Report(true, what + ": \"" + Visible(seen) + "\"");
  }
  return Report(false, what + "\n         seen     \"" + Visible(seen) + "\"\n         expected \"" +
                           Visible(expected) + "\"");
}

bool ExpectTexts(const std::vector<std::wstring>& seen, const std::vector<std::wstring>& expected,
                 const std::string& what) {
  if (seen == expected) {
    return Report(true, what + ": " + Joined(seen));
  }
  return Report(false, what + "\n         seen     " + Joined(seen) + "\n         expected " + Joined(expected));
}

bool ExpectNumber(long long seen, long long expected, const std::string& what) {
  std::string shown = std::to_string(seen);
  if (seen == expected) {
    return Report(true, what + ": " + shown);
  }
  return Report(false, what + ": seen " + shown + ", expected " + std::to_string(expected));
}

bool ExpectBytes(const ByteList& seen, const ByteList& expected, const std::string& what) {
  if (seen == expected) {
    return Report(true, what + " (" + std::to_string(seen.size()) + " bytes)");
  }
  return Report(false, what + "\n  seen     " + HexOf(seen) + "\n  expected " + HexOf(expected));
}

void Note(const std::string& text) {
  std::printf("  ..    %s\n", text.c_str());
  std::fflush(stdout);
}

void PlatformGap(const std::string& text) {
  std::printf("  gap   %s\n", text.c_str());
  std::fflush(stdout);
}

int FailureCount() { return Failures; }

#include "checks.h"

#include <cstdio>

#include "ui_automation.h"

namespace {

int g_failures = 0;

bool Report(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "  ok  " : "  FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) {
    ++g_failures;
  }
  return ok;
}

std::string Hex(const ByteString& bytes) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(piece, sizeof piece, "%02X", bytes[i]);
    text += (i % 16 == 0 && i != 0) ? "\n           " : (i == 0 ? "" : " ");
    text += piece;
  }
  return text;
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

bool ExpectBytes(const ByteString& seen, const ByteString& expected, const std::string& what) {
  if (seen == expected) {
    return Report(true, what + " (" + std::to_string(seen.size()) + " bytes)");
  }
  return Report(false, what + "\n  seen     " + Hex(seen) + "\n  expected " + Hex(expected));
}

void Note(const std::string& text) {
  std::printf("  ..    %s\n", text.c_str());
  std::fflush(stdout);
}

void PlatformGap(const std::string& text) {
  std::printf("  gap   %s\n", text.c_str());
  std::fflush(stdout);
}

int FailureCount() { return g_failures; }

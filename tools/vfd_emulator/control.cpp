#include "control.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ParseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 10);
  return *end == '\0' && value <= maximum;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseByte(const std::string& text, uint8_t& value) {
  std::string digits = text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
  Bytes bytes;
  if (digits.size() != 2 || !ParseHexBytes(digits, bytes)) return false;
  value = bytes[0];
  return true;
}

bool Fail(std::string& error, const std::string& reason) {
  error = reason;
  return false;
}

bool SetNumber(const std::string& text, unsigned long minimum, unsigned long maximum, size_t& field) {
  unsigned long value = 0;
  if (!ParseNumber(text, maximum, value) || value < minimum) return false;
  field = value;
  return true;
}

bool SetMs(const std::string& text, unsigned& field) {
  size_t value = 0;
  if (!SetNumber(text, 0, 600000, value)) return false;
  field = static_cast<unsigned>(value);
  return true;
}

// Words from the third on, as one hexadecimal text: "28 65 32" is fine.
std::string HexWords(const std::vector<std::string>& w) {
  std::string text;
  for (size_t i = 2; i < w.size(); ++i) text += w[i] + " ";
  return text;
}

// The optional arguments of each mode; w[0] is "mode", w[1] its name.
bool SetModeArguments(FaultSettings& next, const std::vector<std::string>& w) {
  size_t n = w.size();
  switch (next.mode) {
    case FaultMode::Garbage:
      return n == 2 || (ParseHexBytes(HexWords(w), next.garbage) && !next.garbage.empty());
    case FaultMode::Split:
      return n <= 4 && (n < 3 || SetNumber(w[2], 1, 4096, next.splitSize)) &&
             (n < 4 || SetMs(w[3], next.splitDelayMs));
    case FaultMode::Trickle:
      return n <= 3 && (n < 3 || SetMs(w[2], next.trickleDelayMs));
    case FaultMode::ExtraByte:
      return n <= 4 && (n < 3 || ParseByte(w[2], next.extraByte)) &&
             (n < 4 || SetMs(w[3], next.extraDelayMs));
    case FaultMode::BadConfirm:
      return n == 2 || ParseHexBytes(HexWords(w), next.badConfirm);
    case FaultMode::BadEnter:
      return n == 2 || ParseHexBytes(HexWords(w), next.badEnter);
    case FaultMode::BadQuery:
      return n == 2 || ParseHexBytes(HexWords(w), next.badQuery);
    case FaultMode::Hangup:
      return n == 2 || (n == 3 && SetNumber(w[2], 1, expected::RecordSize - 1, next.hangupAfter));
    default:
      return n == 2;
  }
}

// "mode NAME [arguments]"
bool ApplyMode(FaultSettings& faults, const std::vector<std::string>& w, std::string& error) {
  if (w.size() < 2) return Fail(error, "mode needs a name");
  FaultSettings next = faults;
  bool known = false;
  for (int i = 0; i < FaultModeCount; ++i) {
    if (w[1] == FaultModeName(static_cast<FaultMode>(i))) {
      next.mode = static_cast<FaultMode>(i);
      known = true;
    }
  }
  if (!known) return Fail(error, "unknown mode " + w[1]);
  if (!SetModeArguments(next, w)) return Fail(error, "bad arguments for mode " + w[1]);
  faults = next;
  return true;
}

// The text after the command word: quoted (with escapes) or taken as is, so
// that a trailing blank of a product type survives.
bool ArgumentText(const std::string& line, const std::string& word, Bytes& out, std::string& error) {
  std::string rest = line.substr(word.size());
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  if (rest.empty() || rest[0] != '"') return UnescapeText(rest, out, error);
  std::vector<std::string> words;
  if (!SplitControlWords(rest, words, error)) return false;
  if (words.size() != 1) return Fail(error, "one quoted text expected");
  return UnescapeText(words[0], out, error);
}

bool ApplyRecordText(Record& record, const std::vector<std::string>& w, std::string& error) {
  uint8_t speed = 0;
  if (w.size() != 4 || !ParseByte(w[1], speed)) return Fail(error, "record-text SPEED ROW0 ROW1");
  Record next{};
  for (size_t row = 0; row < 2; ++row) {
    Bytes text;
    if (!UnescapeText(w[2 + row], text, error)) return false;
    if (text.size() > expected::RowTextMax) return Fail(error, "a row holds at most 63 bytes");
    next[row * expected::RowSize] = speed;
    std::copy(text.begin(), text.end(), next.begin() + row * expected::RowSize + 1);
  }
  record = next;
  return true;
}

bool ApplyRecord(Record& record, const std::string& line, const std::vector<std::string>& w,
                 std::string& error) {
  if (w.size() == 2 && w[1] == "default") {
    record = ModuleFactoryRecord();
    return true;
  }
  Bytes bytes;
  if (w.size() < 2 || !ParseHexBytes(line.substr(w[0].size()), bytes) ||
      bytes.size() != expected::RecordSize) {
    return Fail(error, "record needs 'default' or 128 bytes in hexadecimal");
  }
  std::copy(bytes.begin(), bytes.end(), record.begin());
  return true;
}

std::string WithoutLineEnd(const std::string& line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  size_t start = text.find_first_not_of(" \t");
  return start == std::string::npos ? "" : text.substr(start);
}

}  // namespace

bool ApplyControlCommand(DeviceState& state, const std::string& rawLine, ControlEffects& effects,
                         std::string& error) {
  std::string line = WithoutLineEnd(rawLine);
  std::vector<std::string> w;
  if (!SplitControlWords(line, w, error)) return false;
  if (w.empty() || w[0][0] == '#') return true;
  const std::string& verb = w[0];
  if (verb == "mode") {
    bool wasCtsDown = state.faults.mode == FaultMode::CtsDown;
    if (!ApplyMode(state.faults, w, error)) return false;
    effects.linesChanged = wasCtsDown != (state.faults.mode == FaultMode::CtsDown);
    return true;
  }
  if (verb == "product-type") {
    if (w.size() == 2 && w[1] == "default" && line.back() != ' ') {
      state.faults.productType = DefaultProductType();
      return true;
    }
    return ArgumentText(line, verb, state.faults.productType, error);
  }
  if (verb == "reply-delay") {
    unsigned long ms = 0;
    if (w.size() != 2 || !ParseNumber(w[1], 600000, ms)) return Fail(error, "reply-delay MS");
    state.faults.replyDelayMs = ms;
    return true;
  }
  if (verb == "record" || verb == "record-text") {
    bool ok = verb == "record" ? ApplyRecord(state.record, line, w, error)
                               : ApplyRecordText(state.record, w, error);
    effects.recordChanged = ok;
    return ok;
  }
  if (verb == "busy") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return Fail(error, "busy on|off");
    effects.busy = w[1] == "on" ? 1 : 0;
    return true;
  }
  if (w.size() != 1) return Fail(error, "unknown command or extra words: " + line);
  if (verb == "power-cycle") return effects.powerCycle = true;
  if (verb == "reset-log") return effects.resetLog = true;
  if (verb == "quit") return effects.quit = true;
  return Fail(error, "unknown command: " + verb);
}

bool SplitControlWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') { ++i; continue; }
    std::string word;
    if (line[i] != '"') {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
      words.push_back(word);
      continue;
    }
    ++i;  // opening quote; escapes stay in the word for UnescapeText
    while (i < line.size() && line[i] != '"') {
      if (line[i] == '\\' && i + 1 < line.size()) word += line[i++];
      word += line[i++];
    }
    if (i >= line.size()) return Fail(error, "missing closing quote");
    ++i;
    words.push_back(word);
  }
  return true;
}

bool UnescapeText(const std::string& text, Bytes& out, std::string& error) {
  Bytes bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') { bytes.push_back(static_cast<uint8_t>(c)); continue; }
    if (++i >= text.size()) return Fail(error, "lone backslash at the end");
    char e = text[i];
    if (e == 'x') {
      int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
      int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
      if (hi < 0 || lo < 0) return Fail(error, "\\x needs two hexadecimal digits");
      bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
      i += 2;
    } else {
      const char* from = "0trn\\\"";
      const char to[] = {'\0', '\t', '\r', '\n', '\\', '"'};
      const char* at = std::strchr(from, e);
      if (at == nullptr || e == '\0') return Fail(error, std::string("unknown escape \\") + e);
      bytes.push_back(static_cast<uint8_t>(to[at - from]));
    }
  }
  out = bytes;
  return true;
}

std::string EscapeText(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (b == '\\' || b == '"') {
      text += '\\';
      text += static_cast<char>(b);
    } else if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      text += escaped;
    }
  }
  return text;
}

bool ParseHexBytes(const std::string& text, Bytes& out) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) return false;  // a lone digit
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) return false;
  out = bytes;
  return true;
}

std::string HexString(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

const char* ControlCommandHelp() {
  return
      "Control commands (one a line; --exec, or appended to the --control file):\n"
      "  mode normal                 answer exactly as the module does\n"
      "  mode silent                 never answer\n"
      "  mode garbage [HEX]          send HEX instead of every reply (a55aff001337c3)\n"
      "  mode split [SIZE [MS]]      cut replies into SIZE-byte pieces, MS apart (2, 300)\n"
      "  mode trickle [MS]           send replies one byte at a time, MS apart (100)\n"
      "  mode extra-byte [XX [MS]]   one more byte XX after every reply (00); MS 0 = in\n"
      "                              the same write, else MS after the reply\n"
      "  mode no-confirm             store the record, send no confirmation\n"
      "  mode short-confirm          confirm with 28 65 32 only\n"
      "  mode bad-confirm [HEX]      confirm with HEX (default 28653201)\n"
      "  mode bad-enter [HEX]        answer the enter command with HEX (28650101)\n"
      "  mode bad-query [HEX]        answer the query with HEX (286541 and the product\n"
      "                              type: the wrong function byte)\n"
      "  mode cts-down               CTS reads down (through the modem-lines fixture);\n"
      "                              while the port has CTS handshake on (CRTSCTS),\n"
      "                              received bytes are dropped: they would never\n"
      "                              have left the UART\n"
      "  mode hangup [N]             hang up after N record bytes (64, 1..127): the pty\n"
      "                              is closed and a new one is put behind the link\n"
      "  product-type TEXT           the bytes after 28 65 40, as given (no padding);\n"
      "                              quote it to keep blanks: \"CU20029T307A01 \";\n"
      "                              escapes \\xNN \\0 \\t \\r \\n \\\\ \\\"\n"
      "  product-type default        CU20029T307A01 (with its trailing blank)\n"
      "  reply-delay MS              wait MS before every reply (0)\n"
      "  busy on|off                 on: the port fails to open, as one that another\n"
      "                              program holds (Wine: ERROR_ACCESS_DENIED; the\n"
      "                              link points at a directory); handles already\n"
      "                              open keep working. off: opens again\n"
      "  record default              store the factory-default record\n"
      "  record HEX                  store 128 bytes given in hexadecimal\n"
      "  record-text SP \"R0\" \"R1\"    store speed code SP (hex, e.g. 13) and two rows\n"
      "  power-cycle                 leave set-up mode, drop a half command, restart\n"
      "                              the display\n"
      "  reset-log                   empty the log file\n"
      "  quit                        end the emulator\n"
      "Blank lines and lines starting with # are skipped. Modes are exclusive; the\n"
      "product type and the reply delay apply in every mode. Outside set-up mode\n"
      "only the enter command is answered. When the program closes the port, the\n"
      "bytes it has not read and a half-received command are dropped, as a real\n"
      "port loses them; set-up mode and the stored record stay.\n";
}

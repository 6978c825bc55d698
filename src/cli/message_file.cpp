#include "cli/message_file.h"

#include <cctype>

#include "cli/cli_options.h"
#include "cli/message_file_platform.h"
#include "cli/message_policy.h"
#include "text/utf_convert.h"

namespace {

typedef bool (*SetValue)(const std::string& value, MessageFile* file, std::string* why);

bool SetRow(int row, const std::string& value, MessageFile* file, std::string* why) {
  if (Utf8ToUtf16(value, &file->rows[row])) return true;
  *why = "row" + std::to_string(row) + " is not valid UTF-8";
  return false;
}

bool SetRow0(const std::string& value, MessageFile* file, std::string* why) { return SetRow(0, value, file, why); }
bool SetRow1(const std::string& value, MessageFile* file, std::string* why) { return SetRow(1, value, file, why); }

bool SetSpeed(const std::string& value, MessageFile* file, std::string* why) {
  file->speedPosition = SpeedPositionFor(value);
  if (file->speedPosition < 0) *why = "unknown speed '" + value + "' (<10ms, 100ms, 200ms, 300ms, 400ms or 500ms)";
  return file->speedPosition >= 0;
}

bool SetPort(const std::string& value, MessageFile* file, std::string* why) {
  file->port = value;
  if (value.empty()) *why = "port is empty (leave the line out to let the program look for the display)";
  return !value.empty() && CheckPortSetting(value, why);
}

// The same spellings on every platform: the words, and the 1 or 0 that the
// Windows policy's Strict holds.
bool SetStrict(const std::string& value, MessageFile* file, std::string* why) {
  std::string word;
  for (char c : value) word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  file->strict = word == "true" || word == "yes" || word == "1";
  if (file->strict || word == "false" || word == "no" || word == "0") return true;
  *why = "strict takes true or false (also yes or no, 1 or 0), not '" + value + "'";
  return false;
}

struct KeyRow {
  const char* name;
  const char* policyName;  // the value's name under the policy's key
  MessageKey key;
  bool required;
  SetValue set;
};

const KeyRow Keys[] = {
    {"row0", "Row0", MESSAGE_ROW0, true, SetRow0},     {"row1", "Row1", MESSAGE_ROW1, true, SetRow1},
    {"speed", "Speed", MESSAGE_SPEED, true, SetSpeed},  {"port", "Port", MESSAGE_PORT, false, SetPort},
    {"strict", "Strict", MESSAGE_STRICT, false, SetStrict},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

const KeyRow* FindKey(const std::string& name) {
  for (const KeyRow& row : Keys)
    if (name == row.name) return &row;
  return nullptr;
}

// A value in double quotes keeps its blanks; a quote left open is a mistake
// (a line break in a row, perhaps), never a row that ends in a quote.
bool Unquoted(const std::string& value, std::string* out, std::string* why) {
  *out = value;
  if (value.empty() || value[0] != '"') return true;
  if (value.size() < 2 || value.back() != '"') {
    *why = "the value begins with a double quote but does not end with one";
    return false;
  }
  *out = value.substr(1, value.size() - 2);
  return true;
}

// One line that is neither blank nor a comment.
bool ParseSetting(const std::string& line, int lineNumber, MessageFile* file, std::string* why) {
  size_t equals = line.find('=');
  std::string name = Trimmed(line.substr(0, equals));
  if (equals == std::string::npos || name.empty()) {
    *why = "expected key = value";
    return false;
  }
  const KeyRow* known = FindKey(name);
  if (known == nullptr) {
    *why = "unknown key '" + name + "' (row0, row1, speed, port, strict)";
    return false;
  }
  if (file->lineOf[known->key] != 0) {
    *why = name + " is given twice (first on line " + std::to_string(file->lineOf[known->key]) + ")";
    return false;
  }
  file->lineOf[known->key] = lineNumber;
  std::string value;
  return Unquoted(Trimmed(line.substr(equals + 1)), &value, why) && known->set(value, file, why);
}

bool ParseLine(std::string line, int lineNumber, MessageFile* file, std::string* why) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // written on Windows
  // A NUL would end the row for every reader of C text: what --validate shows
  // and what is stored would no longer be the file's line.
  if (line.find('\0') != std::string::npos) {
    *why = "holds a NUL character";
    return false;
  }
  std::u16string decoded;
  if (!Utf8ToUtf16(line, &decoded)) {
    *why = "not valid UTF-8";
    return false;
  }
  std::string content = Trimmed(line);
  if (content.empty() || content[0] == '#') return true;
  return ParseSetting(line, lineNumber, file, why);
}

}  // namespace

bool ParseMessageFile(const std::string& path, const std::string& text, MessageFile* file, std::string* error) {
  *file = MessageFile();
  file->speedPosition = -1;
  const std::string bom = "\xEF\xBB\xBF";  // Notepad starts a UTF-8 file with one
  size_t start = text.compare(0, bom.size(), bom) == 0 ? bom.size() : 0;
  for (int lineNumber = 1; start <= text.size(); ++lineNumber) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string why;
    if (!ParseLine(text.substr(start, end - start), lineNumber, file, &why)) {
      *error = path + ":" + std::to_string(lineNumber) + ": " + why;
      return false;
    }
    start = end + 1;
  }
  for (const KeyRow& row : Keys) {
    if (!row.required || file->lineOf[row.key] != 0) continue;
    *error = path + ": no " + row.name + " line (row0, row1 and speed are required)";
    return false;
  }
  return true;
}

std::string PlaceOf(const std::string& path, const MessageFile& file, MessageKey key) {
  if (file.fromPolicy) return std::string(PolicyKeyName) + "\\" + PolicyValueName(key);
  return path + ":" + std::to_string(file.lineOf[key]);
}

const char* PolicyValueName(MessageKey key) {
  for (const KeyRow& row : Keys)
    if (row.key == key) return row.policyName;
  return "";
}

bool PolicyHoldsMessage(const MessagePolicy& policy) {
  return policy.values[MESSAGE_ROW0].type != POLICY_ABSENT || policy.values[MESSAGE_ROW1].type != POLICY_ABSENT;
}

namespace {

// A policy value as the file's text of it: Strict is a REG_DWORD (the
// template's check box), every other value a REG_SZ.
bool PolicyText(const KeyRow& row, const PolicyValue& value, std::string* text, std::string* why) {
  bool number = row.key == MESSAGE_STRICT;
  if (value.type != (number ? POLICY_NUMBER : POLICY_TEXT)) {
    *why = number ? "not a REG_DWORD value (1: strict, 0: not)" : "not a REG_SZ value";
    return false;
  }
  if (!number) *text = value.text;
  else if (value.number <= 1) *text = value.number ? "true" : "false";
  else *why = "takes 1 (strict) or 0, not " + std::to_string(value.number);
  return !number || value.number <= 1;
}

}  // namespace

bool ParseMessagePolicy(const MessagePolicy& policy, MessageFile* file, std::string* error) {
  *file = MessageFile();
  file->speedPosition = -1;
  file->fromPolicy = true;
  for (const KeyRow& row : Keys) {
    const PolicyValue& value = policy.values[row.key];
    std::string text, why;
    // An empty Port is the template's text box left empty: look for the display.
    bool given = value.type != POLICY_ABSENT && !(row.key == MESSAGE_PORT && value.type == POLICY_TEXT && value.text.empty());
    if (!given && row.required) why = "missing (Row0, Row1 and Speed are required)";
    else if (given && PolicyText(row, value, &text, &why) && row.set(text, file, &why)) file->lineOf[row.key] = 1;
    if (why.empty()) continue;
    *error = PlaceOf("", *file, row.key) + ": " + why;
    return false;
  }
  return true;
}

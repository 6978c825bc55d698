#include "text/json_text.h"

#include <cstdio>

#include "text/utf_convert.h"

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : ValidUtf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void JsonAdd(JsonObject* object, const std::string& key, const std::string& value) {
  object->members.emplace_back(key, value);
}

std::string JsonRender(const JsonObject& object) {
  std::string out = "{";
  for (size_t i = 0; i < object.members.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(object.members[i].first) + ": " + object.members[i].second;
  }
  return out + "}";
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i > 0 ? ", " : "") + values[i];
  return out + "]";
}

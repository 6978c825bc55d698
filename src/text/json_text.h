// Just enough JSON for the programs' result objects.
#ifndef VFD_TEXT_JSON_TEXT_H
#define VFD_TEXT_JSON_TEXT_H

#include <string>
#include <utility>
#include <vector>

// A text as a JSON string, quotes included. Always well-formed UTF-8: a
// byte that starts no UTF-8 sequence becomes U+FFFD.
std::string JsonString(const std::string& text);

// Members in the order added; values are JSON text already.
struct JsonObject {
  std::vector<std::pair<std::string, std::string>> members;
};

void JsonAdd(JsonObject* object, const std::string& key, const std::string& value);
std::string JsonRender(const JsonObject& object);
std::string JsonArray(const std::vector<std::string>& values);

#endif  // VFD_TEXT_JSON_TEXT_H

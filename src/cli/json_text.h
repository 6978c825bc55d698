// Just enough JSON for the console program's one result object.
#ifndef VFD_CLI_JSON_TEXT_H
#define VFD_CLI_JSON_TEXT_H

#include <string>
#include <utility>
#include <vector>

// A UTF-8 text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

// Members in the order added; values are JSON text already.
struct JsonObject {
  std::vector<std::pair<std::string, std::string>> members;
};

void JsonAdd(JsonObject* object, const std::string& key, const std::string& value);
std::string JsonRender(const JsonObject& object);
std::string JsonArray(const std::vector<std::string>& values);

#endif  // VFD_CLI_JSON_TEXT_H

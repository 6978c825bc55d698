// The machine-readable log: one JSON object a line, appended and flushed
// as each event happens, so that a test can read it while the emulator runs.
#ifndef VFD_EMULATOR_JSON_LOG_H
#define VFD_EMULATOR_JSON_LOG_H

#include <string>

struct JsonLog {
  int fd = -1;  // -1: no log
  unsigned long long seq = 0;
};

// Fields of one event, already in JSON: "key":value,...
struct JsonFields {
  std::string text;
};

bool OpenJsonLog(JsonLog& log, const std::string& path, std::string& error);
void ResetJsonLog(JsonLog& log);
void CloseJsonLog(JsonLog& log);

std::string JsonString(const std::string& value);
void AddString(JsonFields& fields, const char* key, const std::string& value);
void AddNumber(JsonFields& fields, const char* key, long long value);
void AddBool(JsonFields& fields, const char* key, bool value);
void AddRaw(JsonFields& fields, const char* key, const std::string& json);

// Writes {"t":<unix time>,"seq":n,"event":"<event>",<fields>}.
void WriteEvent(JsonLog& log, const char* event, const JsonFields& fields);

#endif

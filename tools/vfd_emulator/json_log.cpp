#include "json_log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool OpenJsonLog(JsonLog& log, const std::string& path, std::string& error) {
  log.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log.fd < 0) error = "cannot open log " + path + ": " + std::strerror(errno);
  return log.fd >= 0;
}

// With O_APPEND the next line lands at offset 0 again.
void ResetJsonLog(JsonLog& log) {
  if (log.fd >= 0 && ftruncate(log.fd, 0) != 0) std::perror("vfd-emulator: reset-log");
}

void CloseJsonLog(JsonLog& log) {
  if (log.fd >= 0) close(log.fd);
  log.fd = -1;
}

std::string JsonString(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void AddRaw(JsonFields& fields, const char* key, const std::string& json) {
  fields.text += ",\"";
  fields.text += key;
  fields.text += "\":" + json;
}

void AddString(JsonFields& fields, const char* key, const std::string& value) {
  AddRaw(fields, key, JsonString(value));
}

void AddNumber(JsonFields& fields, const char* key, long long value) {
  AddRaw(fields, key, std::to_string(value));
}

void AddBool(JsonFields& fields, const char* key, bool value) {
  AddRaw(fields, key, value ? "true" : "false");
}

void WriteEvent(JsonLog& log, const char* event, const JsonFields& fields) {
  if (log.fd < 0) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char head[128];
  std::snprintf(head, sizeof head, "{\"t\":%lld.%06ld,\"seq\":%llu,\"event\":", static_cast<long long>(now.tv_sec),
                now.tv_nsec / 1000, log.seq++);
  std::string line = head + JsonString(event) + fields.text + "}\n";
  // One write per line, so a reader never sees half a line from us.
  if (write(log.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::perror("vfd-emulator: log");
  }
}

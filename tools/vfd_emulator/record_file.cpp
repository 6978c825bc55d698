#include "record_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

bool LoadRecord(const std::string& path, Record& record) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() != expected::RecordSize) return false;
  std::memcpy(record.data(), bytes.data(), expected::RecordSize);
  return true;
}

bool SaveRecord(const std::string& path, const Record& record, std::string& error) {
  std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(record.data()), expected::RecordSize);
    if (!out) {
      error = "cannot write " + temporary;
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

#include "modem_lines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "pty_port.h"

namespace {

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    if (!out) {
      error = "cannot write " + temporary;
      return false;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

}  // namespace

std::string ModemLinesDir() {
  const char* dir = std::getenv("VFD_MODEM_LINES_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp/vfd-modem-lines";
}

bool MakeModemLinesDir(std::string& error) {
  std::string dir = ModemLinesDir();
  // Shared by every emulator of a run and the fixture in whichever account
  // the program runs: sticky and open to all, like /tmp.
  if (mkdir(dir.c_str(), 0755) == 0) chmod(dir.c_str(), 01777);
  struct stat status {};
  if (stat(dir.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
  error = "fixture directory " + dir + ": " + std::strerror(errno);
  return false;
}

bool PublishModemLines(ModemLines& lines, const std::string& link, const std::string& slavePath,
                       bool ctsUp, std::string& error) {
  std::string dir = ModemLinesDir();
  lines.statePath = AbsolutePath(link) + ".lines";
  std::string pts = slavePath.substr(slavePath.rfind('/') + 1);
  lines.entryPath = dir + "/pts-" + pts;
  lines.hostPath = lines.entryPath + ".out";
  char state[96];
  std::snprintf(state, sizeof state, "pid=%d cts=%d dsr=1 dcd=0 ri=0\n", static_cast<int>(getpid()),
                ctsUp ? 1 : 0);
  if (!WriteFileAtomically(lines.statePath, state, error)) return false;
  return PublishLink(lines.entryPath, lines.statePath, error);
}

void WithdrawModemLines(ModemLines& lines) {
  if (lines.entryPath.empty()) return;
  unlink(lines.statePath.c_str());
  unlink(lines.entryPath.c_str());
  unlink(lines.hostPath.c_str());
  lines = ModemLines();
}

HostLines ReadHostLines(const ModemLines& lines) {
  HostLines host;
  std::ifstream in(lines.hostPath);
  std::string word;
  while (in >> word) {
    if (word == "dtr=0" || word == "dtr=1") host.dtr = word.back() == '1';
    if (word == "rts=0" || word == "rts=1") host.rts = word.back() == '1';
    host.known = true;
  }
  return host;
}

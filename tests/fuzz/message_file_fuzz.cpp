// ParseMessageFile on any file, and what apply makes of a file it takes:
// the ports its `port` names (a pattern is matched over a directory standing
// in for /dev, with names that hold pattern characters themselves) and the
// record its rows give.
//
// Input: the file's bytes, as read from disk.
//
// A file that is taken is valid UTF-8, holds every required key,
// and says the same when written out again in plain form; a path is a
// path, a pattern stays within /dev/serial/by-id/; strict rows are stored as
// given, and every row of the record is at most 63 characters the module
// shows. A file that is refused names the file and a line it has.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/message_file.h"
#include "cli/message_file_platform.h"
#include "fuzz_support.h"
#include "job/message_rows.h"
#include "protocol_expected.h"
#include "text/utf_convert.h"

namespace {

const char Path[] = "message.conf";
const char ByIdPrefix[] = "/dev/serial/by-id/";
// What /dev/serial/by-id/ holds here: ordinary names and names that are
// patterns themselves.
const char* const ByIdNames[] = {
    "usb-VFD_CU20029-if00-port0", "usb-FTDI_FT232R_USB_UART_A1-if00-port0", "pci-0000:00:16.3",
    "usb-odd*name?[1]-port0",     ".hidden-port",
};

std::string DevRoot;

void MakeDevRoot() {
  DevRoot = MakeScratchDir("dev");
  std::string byId = DevRoot + "/serial/by-id";
  FUZZ_CHECK(std::system(("mkdir -p '" + byId + "/sub'").c_str()) == 0, "cannot make " + byId);
  for (const char* name : ByIdNames) WriteWholeFile(byId + "/" + name, "");
  setenv("VFDSTARTUP_DEV_ROOT", DevRoot.c_str(), 1);
}

bool IsByIdName(const std::string& name) {
  for (const char* known : ByIdNames)
    if (name == known) return true;
  return name == "sub";
}

std::string Quoted(const std::u16string& text) { return "\"" + Utf16ToUtf8(text) + "\"\n"; }

// The file written out again: every key on its own line, values quoted.
std::string PlainForm(const MessageFile& file) {
  std::string label = expected::SpeedRows[file.speedPosition].label;
  std::string text = "row1 = " + Quoted(file.rows[1]) + "speed = " + label.substr(0, label.find(' ')) + "\n" +
                     "row0 = " + Quoted(file.rows[0]);
  if (file.lineOf[MESSAGE_PORT] != 0) text += "port = \"" + file.port + "\"\n";
  if (file.lineOf[MESSAGE_STRICT] != 0) text += std::string("strict = ") + (file.strict ? "true" : "false") + "\n";
  return text;
}

void CheckPorts(const std::string& port) {
  FUZZ_CHECK(!port.empty() && port[0] == '/', "a port that is no path: " + port);
  std::vector<std::u16string> ports = PortsOfSetting(port);
  bool pattern = port.find_first_of("*?[") != std::string::npos;
  if (!pattern) {
    FUZZ_CHECK(ports.size() == 1 && BytesFromUtf16(ports[0]) == port, "a path is not its own port: " + port);
    return;
  }
  std::string rest = port.substr(std::min(port.size(), sizeof ByIdPrefix - 1));
  FUZZ_CHECK(port.compare(0, sizeof ByIdPrefix - 1, ByIdPrefix) == 0 && rest.find('/') == std::string::npos,
             "a pattern outside /dev/serial/by-id/: " + port);
  std::string within = DevRoot + "/serial/by-id/";
  for (const std::u16string& match : ports) {
    std::string path = BytesFromUtf16(match);
    bool inside = path.compare(0, within.size(), within) == 0 && IsByIdName(path.substr(within.size()));
    FUZZ_CHECK(inside, "pattern " + port + " names " + path);
  }
}

// The record's rows: the speed code, then the stored text (characters
// 0x20..0x7F, at most 63) and zeros.
void CheckRecord(const MessageFile& file) {
  MessageRows rows = PrepareMessageRows(file.rows, file.strict ? ROWS_STRICT : ROWS_TRANSLITERATE);
  if (!rows.refusal.empty()) {
    FUZZ_CHECK(file.strict, "rows refused without strict: " + rows.refusal);
    return;
  }
  StartupMessageRecord record = RecordForRows(rows, file.speedPosition, false);
  for (int row = 0; row < 2; ++row) {
    const BYTE* bytes = record.bytes + row * expected::RowSize;
    const std::u16string& stored = rows.stored[row];
    FUZZ_CHECK(bytes[0] == expected::SpeedRows[file.speedPosition].code, "wrong speed code");
    FUZZ_CHECK(stored.size() <= expected::RowTextMax, "row longer than 63 characters");
    for (size_t i = 0; i < expected::RowTextMax; ++i) {
      BYTE want = i < stored.size() ? static_cast<BYTE>(stored[i]) : 0;
      FUZZ_CHECK(i >= stored.size() || (stored[i] >= 0x20 && stored[i] <= 0x7F), "row holds a character not shown");
      FUZZ_CHECK(bytes[1 + i] == want, "record row " + std::to_string(row) + " is not the stored text");
    }
    if (file.strict) FUZZ_CHECK(stored == file.rows[row], "a strict row is not stored as given");
  }
}

void CheckTaken(const std::string& text, const MessageFile& file) {
  std::u16string decoded;
  FUZZ_CHECK(Utf8ToUtf16(text, &decoded), "a file that is not UTF-8 taken");
  for (MessageKey key : {MESSAGE_ROW0, MESSAGE_ROW1, MESSAGE_SPEED})
    FUZZ_CHECK(file.lineOf[key] > 0, "a required key missing");
  FUZZ_CHECK(file.speedPosition >= 0 && file.speedPosition < static_cast<int>(expected::SpeedRowCount),
             "speed position out of the list");
  MessageFile again;
  std::string error;
  std::string plain = PlainForm(file);
  FUZZ_CHECK(ParseMessageFile(Path, plain, &again, &error), "written out again, refused: " + error);
  FUZZ_CHECK(again.rows[0] == file.rows[0] && again.rows[1] == file.rows[1] &&
                 again.speedPosition == file.speedPosition && again.port == file.port &&
                 again.strict == file.strict,
             "written out again, it says something else:\n" + plain);
  // A NUL would cut the value short where it becomes a path; a file that
  // holds one is for the file's own rule (refused, its line named), so the
  // ports are checked for files without one.
  if (file.lineOf[MESSAGE_PORT] != 0 && text.find('\0') == std::string::npos) CheckPorts(file.port);
  CheckRecord(file);
}

// "message.conf:LINE: why" with a line the file has, or "message.conf: why".
void CheckRefused(const std::string& text, const std::string& error) {
  std::string lead = std::string(Path) + ":";
  FUZZ_CHECK(error.compare(0, lead.size(), lead) == 0, "error does not name the file: " + error);
  FUZZ_CHECK(ValidUtf8(error) == error, "error is not UTF-8");
  size_t digits = error.find_first_not_of("0123456789", lead.size());
  if (digits == lead.size()) return;
  FUZZ_CHECK(digits != std::string::npos && error[digits] == ':', "error without its line's end: " + error);
  long line = std::strtol(error.c_str() + lead.size(), nullptr, 10);
  long lines = static_cast<long>(std::count(text.begin(), text.end(), '\n')) + 1;
  FUZZ_CHECK(line >= 1 && line <= lines, "error names line " + std::to_string(line) + " of " + std::to_string(lines));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (DevRoot.empty()) MakeDevRoot();
  std::string text(reinterpret_cast<const char*>(data), size);
  MessageFile file;
  std::string error;
  bool taken = ParseMessageFile(Path, text, &file, &error);
  if (IsVerbose()) std::fprintf(stderr, "%s\n", taken ? PlainForm(file).c_str() : error.c_str());
  if (taken) CheckTaken(text, file);
  else CheckRefused(text, error);
  return 0;
}

// What a run reports: each outcome's exit code and Application log event,
// each reason's words, and JSON that every parser takes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/outcome_events.h"
#include "job/job_report.h"
#include "job/outcomes.h"
#include "text/json_text.h"
#include "text/utf_convert.h"

namespace {

// The event IDs never change, and each is the message of that ID in the
// Application log's message table, which names the outcome.
TEST(ConsoleReport, EveryOutcomeHasItsExitCodeAndEvent) {
  const struct {
    JobOutcome outcome;
    const char* name;
    int exitCode;
    unsigned eventId;
  } rows[] = {
      {OUTCOME_STORED, "stored", 0, 1},              {OUTCOME_UNCHANGED, "unchanged", 0, 2},
      {OUTCOME_WOULD_WRITE, "would_write", 0, 3},    {OUTCOME_FOUND, "found", 0, 4},
      {OUTCOME_NOT_CONFIRMED, "not_confirmed", 1, 5}, {OUTCOME_INCOMPATIBLE, "incompatible", 1, 6},
      {OUTCOME_USAGE, "usage", 2, 7},                {OUTCOME_REFUSED, "refused", 2, 8},
      {OUTCOME_NO_ANSWER, "no_answer", 3, 9},        {OUTCOME_NO_DISPLAY, "no_display", 3, 10},
      {OUTCOME_OPEN_FAILED, "open_failed", 3, 11},   {OUTCOME_IO_ERROR, "io_error", 4, 12},
      {OUTCOME_INTERRUPTED, "interrupted", 128, 13}, {OUTCOME_LEFT_ALONE, "left_alone", 0, 14},
      {OUTCOME_BAD_CONFIG, "bad_config", 2, 15},     {OUTCOME_VALID, "valid", 0, 16},
      {OUTCOME_STATE_ERROR, "state_error", 5, 17},
  };
  std::stringstream table;
  table << std::ifstream(VFD_EVENT_MESSAGES).rdbuf();
  std::string messages = table.str();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(OutcomeRowOf(row.outcome).name, row.name);
    EXPECT_EQ(OutcomeEventOf(row.outcome).id, row.eventId);
    size_t at = messages.find("MessageId=" + std::to_string(row.eventId) + "\n");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(messages.substr(at, messages.find("\n.\n", at) - at).find("(" + std::string(row.name) + ")"),
              std::string::npos);
    JobReport report;
    ConcludeReport(&report, row.outcome, "x");
    EXPECT_EQ(ExitCodeOf(report, 0), row.exitCode);
    EXPECT_EQ(ExitCodeOf(report, 15), 143) << "a stop request ends with 128 + its signal";
  }
}

PortOpenDetail Detail(DWORD process, const char* program, const char* lockFile, bool exclusive, const char* group,
                      const char* ownerAndMode = "") {
  PortOpenDetail detail = {};
  detail.holderProcessId = process;
  snprintf(detail.holderProgram, sizeof detail.holderProgram, "%s", program);
  snprintf(detail.lockFile, sizeof detail.lockFile, "%s", lockFile);
  detail.exclusive = exclusive;
  snprintf(detail.accessGroup, sizeof detail.accessGroup, "%s", group);
  snprintf(detail.ownerAndMode, sizeof detail.ownerAndMode, "%s", ownerAndMode);
  return detail;
}

TEST(ConsoleReport, OneReasonTableNamesTheHolderAndWhatToDo) {
  const struct {
    PortReason reason;
    PortOpenDetail detail;
    const char* name;
    const char* text;
  } rows[] = {
      {REASON_NO_SUCH_PORT, {}, "no_such_port", "/dev/ttyS1: no such port"},
      {REASON_NOT_SERIAL, {}, "not_serial", "/dev/ttyS1 is not a serial device"},
      {REASON_NO_PERMISSION, Detail(0, "", "", false, "dialout"), "no_permission",
       "/dev/ttyS1: permission denied: add the user to the dialout group"},
      // No group may open it: joining its group would not help.
      {REASON_NO_PERMISSION, Detail(0, "", "", false, "", "root:root with mode 0600"), "no_permission",
       "/dev/ttyS1: permission denied: it is root:root with mode 0600, which lets no group open it: give it a group "
       "with a udev rule (GROUP=\"dialout\", MODE=\"0660\") and add the user to that group"},
      {REASON_BUSY, Detail(4321, "picocom", "", false, ""), "busy", "/dev/ttyS1 is busy: held by process 4321 (picocom)"},
      {REASON_BUSY, Detail(77, "pos", "/var/lock/LCK..ttyS1", false, ""), "busy",
       "/dev/ttyS1 is busy: locked by /var/lock/LCK..ttyS1 (process 77 (pos))"},
      {REASON_BUSY, Detail(0, "", "", true, ""), "busy", "/dev/ttyS1 is busy: another program has it in exclusive mode"},
      {REASON_BUSY, Detail(0, "", "/var/lock/LCK..ttyS1", false, ""), "busy",
       "/dev/ttyS1 is busy: locked by /var/lock/LCK..ttyS1, which names no process this program can tell; "
       "if no program uses the port, remove that file"},
      {REASON_TERMINAL_IN_USE, {}, "terminal_in_use",
       "/dev/ttyS1 is the system console or this program's own terminal, never a display's port"},
      {REASON_NAME_TOO_LONG, {}, "name_too_long", "/dev/ttyS1: too long for a port name (at most 16 characters)"},
      // One cause, one wording: CTS down and silence both say that no display answered.
      {REASON_CTS_DOWN, {}, "cts_down",
       "/dev/ttyS1: no display answered (CTS is down: no display connected, or not powered)"},
      {REASON_UNUSABLE, {}, "unusable", "/dev/ttyS1 refused the serial line settings"},
      {REASON_NO_ANSWER, {}, "no_answer", "/dev/ttyS1: no display answered (waited 5 s)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_STREQ(ReasonRowOf(row.reason).name, row.name);
    EXPECT_EQ(ReasonText(row.reason, "/dev/ttyS1", row.detail), row.text);
  }
  // Braces in a name are the name's own: nothing in it is filled in.
  EXPECT_EQ(ReasonText(REASON_BUSY, "/x/{holder}{group}{limit}", Detail(0, "", "", true, "")),
            "/x/{holder}{group}{limit} is busy: another program has it in exclusive mode");
  EXPECT_EQ(ReasonText(REASON_NO_PERMISSION, "/x/{port}", Detail(0, "", "", false, "{wait}")),
            "/x/{port}: permission denied: add the user to the {wait} group");
  // Verdicts and the write's open failures meet in the same rows.
  EXPECT_EQ(ReasonOfVerdict(PROBE_MISSING), ReasonOfFailure(PORT_MISSING));
  EXPECT_EQ(ReasonOfVerdict(PROBE_NOT_SERIAL), ReasonOfFailure(PORT_NOT_SERIAL));
  EXPECT_EQ(ReasonOfVerdict(PROBE_BUSY), ReasonOfFailure(PORT_BUSY));
  EXPECT_EQ(ReasonOfVerdict(PROBE_TERMINAL_IN_USE), ReasonOfFailure(PORT_TERMINAL_IN_USE));
  // A port used without a lock file of its own is a warning, with the reason.
  PortOpenDetail unlocked = {};
  snprintf(unlocked.lockProblem, sizeof unlocked.lockProblem, "cannot make a lock file in /var/lock: No such file or directory");
  EXPECT_EQ(LockWarningText(unlocked), "ports used without a lock file (cannot make a lock file in /var/lock: No such "
                                       "file or directory): other programs are not told they are in use");
}

TEST(ConsoleReport, JsonStringsAreEscapedAndAlwaysUtf8) {
  const struct {
    std::string text;
    std::string json;
  } rows[] = {
      {"\\\\.\\COM12", "\"\\\\\\\\.\\\\COM12\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\r\nb\tc", "\"a\\r\\nb\\tc\""},
      {std::string("\x01\x7F", 2), "\"\\u0001\\u007f\""},
      {"Caf\xC3\xA9 \xE2\x82\xAC", "\"Caf\xC3\xA9 \xE2\x82\xAC\""},
      {"/dev/tty\xFF", "\"/dev/tty\xEF\xBF\xBD\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& row : rows) EXPECT_EQ(JsonString(row.text), row.json);
  // A name's byte that is not UTF-8 goes to the open call as itself, to JSON as U+FFFD.
  std::u16string name = Utf16FromBytes("/dev/tty\xFF");
  EXPECT_EQ(BytesFromUtf16(name), "/dev/tty\xFF");
  JobReport report;
  ConcludeReport(&report, OUTCOME_OPEN_FAILED, "x");
  report.port.name = name;
  EXPECT_NE(ReportJson("write", report, {}, false).find("\"port\": \"/dev/tty\xEF\xBF\xBD\""), std::string::npos);
}

// What the run never learnt is null, never an empty string: the command of
// `bogus --json`, the product type of a display that did not answer.
TEST(ConsoleReport, WhatIsNotKnownIsNull) {
  JobReport report;
  ConcludeReport(&report, OUTCOME_USAGE, "unknown command 'bogus'");
  std::string json = ReportJson("", report, {}, false);
  EXPECT_NE(json.find("\"command\": null"), std::string::npos) << json;
  ConcludeReport(&report, OUTCOME_NO_ANSWER, "no display answered on /dev/ttyS1 (waited 5 s)");
  json = ReportJson("write", report, {}, false);
  EXPECT_NE(json.find("\"product_type\": null"), std::string::npos) << json;
}

// Names reach the open call byte for byte and readers as well-formed UTF-8.
TEST(ConsoleReport, TextChangesEncodingWithoutLosingOrInventingCharacters) {
  const struct {
    std::string bytes;
    bool utf8;              // Utf8ToUtf16 takes it
    std::u16string units;   // Utf16FromBytes
  } rows[] = {
      {"/dev/tty\xE0\xA0\x80", true, u"/dev/tty\u0800"},
      {"\xF0\x9F\x98\x80", true, u"\U0001F600"},
      {"/dev/tty\xC0\xAF", false, u"/dev/tty\xDCC0\xDCAF"},           // overlong "/"
      {"\xFF\xFE", false, u"\xDCFF\xDCFE"},
      {"\xED\xA0\xBD\xED\xB8\x80", false,                                // a surrogate pair, each half alone
       u"\xDCED\xDCA0\xDCBD\xDCED\xDCB8\xDC80"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    std::u16string strict;
    EXPECT_EQ(Utf8ToUtf16(row.bytes, &strict), row.utf8);
    EXPECT_EQ(Utf16FromBytes(row.bytes), row.units);
    EXPECT_EQ(BytesFromUtf16(row.units), row.bytes) << "another path would be opened";
  }
  EXPECT_EQ(Utf16ToUtf8(u"\u0800\u07FF\uFFFF"), "\xE0\xA0\x80\xDF\xBF\xEF\xBF\xBF");
  EXPECT_EQ(ValidUtf8("a\xC0\xAF"), "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace

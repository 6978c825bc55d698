// record and preview: the record a write would send, and the module's view
// of it at power-on; neither opens a port.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "job/job_report.h"
#include "protocol/startup_view.h"
#include "records/state_store.h"

namespace {

// Redrawing faster than this only makes the terminal flicker.
const unsigned long long LongestRedrawMs = 40;
const char CursorUpFourLines[] = "\x1b[4A";

// The record, or false (with the refusal printed) when --strict refuses.
bool BuildRecord(const CliOptions& options, StartupMessageRecord* record) {
  MessageRows rows = RowsOf(options);
  if (!rows.refusal.empty()) {
    JobReport report;
    ConcludeReport(&report, OUTCOME_REFUSED, rows.refusal);
    PrintError(report.text);
    return false;
  }
  for (const std::string& warning : rows.warnings) PrintWarning(warning);
  *record = RecordForRows(rows, options.speedPosition, false);
  return true;
}

// The frames of one scroll step after another, as fast as they print.
void PrintFrames(const StartupMessageRecord& record, long frames) {
  unsigned long long step = ScrollStepMs(record.bytes[0]);
  for (long frame = 0; frame < frames && !StopRequested(); ++frame)
    std::fputs(RenderDisplayFrame(record.bytes, frame * step).c_str(), stdout);
  std::fflush(stdout);
}

// At the real pace until the program is asked to stop: on a terminal
// redrawn in place; into a pipe or a file, each new frame after the last, in
// plain text (cursor codes would only garble what reads it).
void RunDisplay(const StartupMessageRecord& record) {
  unsigned long long step = ScrollStepMs(record.bytes[0]);
  unsigned long long pause = step == 0 || step > LongestRedrawMs ? LongestRedrawMs : step;
  bool inPlace = StandardOutputIsTerminal();
  auto start = std::chrono::steady_clock::now();
  std::string shown;
  while (!StopRequested()) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::string frame = RenderDisplayFrame(record.bytes, static_cast<unsigned long long>(elapsed.count()));
    if (inPlace || frame != shown) {
      if (inPlace && !shown.empty()) std::fputs(CursorUpFourLines, stdout);
      std::fputs(frame.c_str(), stdout);
      std::fflush(stdout);
      shown = frame;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

int ExitCode() { return StopRequested() ? ExitInterruptedBase + StopSignal() : 0; }

}  // namespace

int RunRecord(const CliOptions& options) {
  StartupMessageRecord record;
  if (!BuildRecord(options, &record)) return OutcomeRowOf(OUTCOME_REFUSED).exitCode;
  std::string hex = RecordHex(record);
  // One line per row: speed code and text.
  std::printf("%s\n%s\n", hex.substr(0, 128).c_str(), hex.substr(128).c_str());
  std::fflush(stdout);
  return 0;
}

int RunPreview(const CliOptions& options) {
  StartupMessageRecord record;
  if (!BuildRecord(options, &record)) return OutcomeRowOf(OUTCOME_REFUSED).exitCode;
  if (options.frames > 0) PrintFrames(record, options.frames);
  else RunDisplay(record);
  return ExitCode();
}

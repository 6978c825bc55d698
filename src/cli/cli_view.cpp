// record and preview: the record a write would send, and the module's view
// of it at power-on; neither opens a port.
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/cli_commands.h"
#include "cli/state_store.h"
#include "protocol/startup_view.h"
#include "writing/write_sequence.h"

namespace {

// Redrawing faster than this only makes the terminal flicker.
const unsigned long long LongestRedrawMs = 40;
const char CursorUpFourLines[] = "\x1b[4A";

StartupMessageRecord BuildRecord(const CliOptions& options) {
  CliRun run;
  StartRun(options, &run);
  return BuildStartupRecord(&run.frontEnd, WRITE_ACTION_WRITE);
}

// The frames of one scroll step after another, as fast as they print.
void PrintFrames(const StartupMessageRecord& record, long frames) {
  unsigned long long step = ScrollStepMs(record.bytes[0]);
  for (long frame = 0; frame < frames; ++frame)
    std::fputs(RenderDisplayFrame(record.bytes, frame * step).c_str(), stdout);
  std::fflush(stdout);
}

// Redraws in place at the real pace until the program is interrupted.
void RunDisplay(const StartupMessageRecord& record) {
  unsigned long long step = ScrollStepMs(record.bytes[0]);
  unsigned long long pause = step == 0 || step > LongestRedrawMs ? LongestRedrawMs : step;
  auto start = std::chrono::steady_clock::now();
  for (bool first = true;; first = false) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (!first) std::fputs(CursorUpFourLines, stdout);
    std::fputs(RenderDisplayFrame(record.bytes, static_cast<unsigned long long>(elapsed.count())).c_str(), stdout);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

}  // namespace

int RunRecord(const CliOptions& options) {
  StartupMessageRecord record = BuildRecord(options);
  std::string hex = RecordHex(record);
  // One line per row: speed code and text.
  std::printf("%s\n%s\n", hex.substr(0, 128).c_str(), hex.substr(128).c_str());
  return EXIT_STORED;
}

int RunPreview(const CliOptions& options) {
  StartupMessageRecord record = BuildRecord(options);
  if (options.frames > 0) PrintFrames(record, options.frames);
  else RunDisplay(record);
  return EXIT_STORED;
}

#include "cli/cli_output.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/cli_platform.h"

namespace {

struct OutputMode {
  bool json = false;
  bool quiet = false;
  bool boxes = false;
  bool verbose = false;  // -v: also what a run left out, and why
  bool progress = false;
};

// The program's one output: the ticker thread and the program print here.
struct Progress {
  std::mutex lock;
  std::condition_variable changed;
  std::string what;                 // empty: nothing waited for
  unsigned maxSeconds = 0;
  std::chrono::steady_clock::time_point since;
  bool shown = false;               // the line is on the terminal
  bool ticking = false;             // the ticker thread runs
};

OutputMode Mode;
// Never destroyed: the ticker may still draw while the process exits.
Progress& Waiting = *new Progress;

// Shown only for waits that last: a quick exchange leaves no trace.
const std::chrono::milliseconds ShowAfter(500);
const std::chrono::milliseconds Redraw(250);
const char EraseLine[] = "\r\x1b[K";

void EraseProgress() {
  if (!Waiting.shown) return;
  std::fputs(EraseLine, stderr);
  std::fflush(stderr);
  Waiting.shown = false;
}

void DrawProgress() {
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - Waiting.since);
  std::fprintf(stderr, "%s%s: %lld s (at most %u s)", EraseLine, Waiting.what.c_str(),
               static_cast<long long>(elapsed.count()), Waiting.maxSeconds);
  std::fflush(stderr);
  Waiting.shown = true;
}

void Tick() {
  std::unique_lock<std::mutex> hold(Waiting.lock);
  for (;;) {
    Waiting.changed.wait_for(hold, Redraw);
    if (Waiting.what.empty()) continue;
    if (std::chrono::steady_clock::now() - Waiting.since >= ShowAfter) DrawProgress();
  }
}

// A control character in a name, a product type or a row would act on the
// terminal: each is written visibly instead, as \x1B (C0, DEL) or \u009B (C1).
std::string Visible(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    char escaped[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      std::snprintf(escaped, sizeof escaped, "\\u%04X", next);
      ++i;
    } else {
      out += static_cast<char>(c);
      continue;
    }
    out += escaped;
  }
  return out;
}

void PrintLine(FILE* stream, const std::string& line) {
  std::lock_guard<std::mutex> hold(Waiting.lock);
  EraseProgress();
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

// CR LF, a lone CR and a lone LF each count as one break; blanks around the
// text and runs of blanks are dropped.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    bool blank = c == '\r' || c == '\n' || c == ' ' || c == '\t';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

void SetOutputMode(const CliOptions& options) {
  Mode.json = options.json;
  Mode.quiet = options.quiet;
  Mode.boxes = !options.json && !options.quiet && (options.verbose || BoxesShownByDefault());
  Mode.verbose = !options.json && options.verbose;
  Mode.progress = !options.json && !options.quiet && StandardErrorIsTerminal();
}

void PrintResult(const std::string& line) {
  if (!Mode.json && !Mode.quiet) PrintLine(stdout, Visible(line));
}

void PrintJson(const std::string& json) { PrintLine(stdout, json); }

void PrintError(const std::string& text) { PrintLine(stderr, "error: " + Visible(text)); }

void PrintWarning(const std::string& text) {
  if (!Mode.json && !Mode.quiet) PrintLine(stderr, "warning: " + Visible(text));
}

void PrintNote(const std::string& text) {
  if (Mode.verbose) PrintLine(stderr, Visible(text));
}

std::string BoxLine(const BoxMessage& message) {
  return "message box \"" + OneLine(message.caption) + "\": " + OneLine(message.text);
}

void PrintBox(const BoxMessage& message) {
  if (Mode.boxes) PrintLine(stderr, Visible(BoxLine(message)));
}

void ShowWaiting(void*, const std::string& what, unsigned maxSeconds) {
  if (!Mode.progress) return;
  std::lock_guard<std::mutex> hold(Waiting.lock);
  if (!Waiting.ticking) {
    try {
      std::thread(Tick).detach();
      Waiting.ticking = true;
    } catch (const std::system_error&) {
      Mode.progress = false;  // no thread to spare: no progress line
      return;
    }
  }
  EraseProgress();
  Waiting.what = Visible(what);
  Waiting.maxSeconds = maxSeconds;
  Waiting.since = std::chrono::steady_clock::now();
  Waiting.changed.notify_all();
}

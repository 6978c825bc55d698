#include "writing/message_format.h"

namespace {

// A cursor over the destination that silently drops what no longer fits, so
// an overlong argument shortens the message instead of overrunning it.
struct TextSink {
  Utf16Unit* buffer;
  DWORD capacity;  // units available before the terminator
  DWORD length;
};

void AppendUnit(TextSink* sink, Utf16Unit unit) {
  if (sink->length < sink->capacity) sink->buffer[sink->length++] = unit;
}

void AppendText(TextSink* sink, const Utf16Unit* text) {
  for (; text != nullptr && *text != 0; ++text) AppendUnit(sink, *text);
}

}  // namespace

void FormatMessageText(Utf16Unit* buffer, DWORD bufferUnits, const Utf16Unit* format,
                       const Utf16Unit* argument) {
  if (buffer == nullptr || bufferUnits == 0) return;
  TextSink sink = {buffer, bufferUnits - 1, 0};
  for (const Utf16Unit* p = format; p != nullptr && *p != 0; ++p) {
    if (p[0] == u'%' && p[1] == u's') {
      AppendText(&sink, argument);
      ++p;
    } else if (p[0] == u'%' && p[1] == u'%') {
      AppendUnit(&sink, u'%');
      ++p;
    } else {
      AppendUnit(&sink, *p);
    }
  }
  buffer[sink.length] = 0;
}

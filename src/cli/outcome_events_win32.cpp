// The outcome's event in the Application log. The source vfdstartup is
// registered by the MSI (EventMessageFile: vfdstartup-cli.exe, whose message
// table is event_messages.mc); without it Windows still keeps the event and
// its inserts.
#include <windows.h>

#include <string>

#include "cli/outcome_events.h"
#include "text/utf_convert.h"

namespace {

const wchar_t EventSource[] = L"vfdstartup";

std::wstring Wide(const std::string& text) {
  std::u16string wide;
  std::string insert = EventInsertText(text);
  if (!Utf8ToUtf16(insert, &wide)) wide = Utf16FromBytes(insert);
  return std::wstring(wide.begin(), wide.end());
}

WORD EventType(EventLevel level) {
  if (level == EVENT_ERROR) return EVENTLOG_ERROR_TYPE;
  return level == EVENT_WARNING ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
}

}  // namespace

// Inserts: %1 the outcome's line, %2 the port, %3 the reason, %4 the source
// of the message.
void WriteOutcomeEvent(const JobReport& report) {
  HANDLE log = RegisterEventSourceW(nullptr, EventSource);
  if (log == nullptr) return;  // no event log service: nothing else to tell
  const OutcomeEvent& event = OutcomeEventOf(report.outcome);
  std::wstring port = report.port.name.empty() ? L"(none)" : Wide(Utf16ToUtf8(report.port.name));
  std::wstring inserts[] = {Wide(report.text), port, Wide(ReasonRowOf(report.reason).name),
                            report.source.empty() ? L"(none)" : Wide(report.source)};
  LPCWSTR strings[] = {inserts[0].c_str(), inserts[1].c_str(), inserts[2].c_str(), inserts[3].c_str()};
  ReportEventW(log, EventType(event.level), 0, event.id, nullptr, 4, 0, strings, nullptr);
  DeregisterEventSource(log);
}

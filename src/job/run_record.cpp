#include "job/run_record.h"

#include "text/utf_convert.h"

LastRun LastRunOf(const std::string& command, const JobReport& report) {
  // A name too long for a port makes too long a file name too: such a run
  // reached no port.
  bool port = !report.port.name.empty() && report.reason != REASON_NAME_TOO_LONG;
  return LastRun{port ? report.port.stateKey : NoPortKey, BytesFromUtf16(report.port.name), command,
                 OutcomeRowOf(report.outcome).name, ReasonRowOf(report.reason).name, report.text, 0};
}

void RecordRun(const RunRecordPlaces& places, const std::string& command, JobReport* report) {
  // A port left alone is not the display's: nothing is said of it.
  bool kept = RunKeepsRecord(command, report->searched, report->portAnswered, report->displayOnRecord);
  if (report->outcome != OUTCOME_LEFT_ALONE && kept)
    KeepLastRunOf(places, LastRunOf(command, *report), report->port, report->lastRunKept, &report->warnings);
  RewriteMetrics(places, &report->warnings);
}

void TellJournal(const RunRecordPlaces& places, const std::string& command, const JobReport& report) {
  SendToJournal(places, LastRunOf(command, report), report.unseenProcesses);
}

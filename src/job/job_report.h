// A job's report as one JSON object, the same for every front end:
//   command, outcome, changed, interrupted, port, reason, detail, source
//   (apply: "policy" or the message file's path), product_type, rows, record, kept_rows, candidates, chosen, messages,
//   warnings, unseen_processes (how many processes the look at who holds a
//   port could not look into)
// (find leaves out what belongs to a write). Every string is well-formed
// UTF-8; a name's bytes that are not UTF-8 show as U+FFFD.
#ifndef VFD_JOB_JOB_REPORT_H
#define VFD_JOB_JOB_REPORT_H

#include <string>
#include <vector>

#include "job/display_job.h"

// A box as the operator would have read it, in UTF-8.
struct BoxMessage {
  std::string caption;
  std::string text;
};

// command: "find", "write", "factory-default", ...; empty: none was
// understood (a usage error).
std::string ReportJson(const std::string& command, const JobReport& report, const std::vector<BoxMessage>& messages,
                       bool interrupted);

// The exit code of a report's outcome; 128 + signal when interrupted by it.
int ExitCodeOf(const JobReport& report, int stopSignal);

#endif  // VFD_JOB_JOB_REPORT_H

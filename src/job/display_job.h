// The jobs a program runs for its user, below any front end: find the
// display, and write a message or the factory default with the kept state
// (--if-changed), or only say what a write would do (--check: everything a
// write does but sending the record). Each fills a report that the program
// prints in its own way.
#ifndef VFD_JOB_DISPLAY_JOB_H
#define VFD_JOB_DISPLAY_JOB_H

#include <string>
#include <vector>

#include "job/outcomes.h"
#include "job/port_search.h"
#include "records/port_identity.h"
#include "writing/write_sequence.h"

struct FrontEnd;

// What the program lets a job ask and tell while it runs.
struct JobHooks {
  StopCheck stopRequested;    // null: never; a stop request ends a search, never an exchange
  void (*exchangeBegins)();   // around each exchange; null: nothing to do
  void (*exchangeEnds)();
  // A wait the user may want to see: what is waited for, and how long it
  // lasts at most in all; an empty text ends it. Null: not shown.
  void (*waiting)(void* context, const std::string& what, unsigned maxSeconds);
  void* context;
};

struct WriteJobRequest {
  WriteAction action;
  std::u16string fields[2];      // the rows' texts for the exchange (MessageRows::fields)
  int speedPosition;             // in the speed list
  StartupMessageRecord record;   // what the module is to hold
  std::u16string port;           // empty: search for the display
  std::vector<std::u16string> among;  // with no port: search only these (a message file's
                                      // pattern); empty: the configured and the system's ports
  std::string stateDir;
  bool ifChanged;                // send nothing when the kept state holds the record
  bool check;                    // decide and meet the module as a real run would, send no record
  // Not empty (and not --check): the run's command, kept with the state and
  // as the port's last run while the port is still held.
  std::string command;
  JobHooks hooks;
};

struct JobReport {
  JobOutcome outcome;
  PortIdentity port;              // the port given, chosen or compared; name empty: none
  PortReason reason;              // OUTCOME_OPEN_FAILED: why
  PortOpenDetail detail;
  std::string text;               // the outcome's one line (the JSON "detail")
  bool changed;                   // the module confirmed a new record in this run
  bool searched;                  // the port was looked for
  std::vector<Candidate> candidates;
  int chosen;                     // in candidates; -1: none
  bool recordSent;                // the record went (at least partly) to the module
  std::string productType;        // UTF-8; empty until the module named it
  bool productTypeKnown;          // the module named it (a well-formed answer to the query)
  StartupMessageRecord record;
  bool keptKnown;                 // a state of the port's device was kept before this run
  StartupMessageRecord keptRecord;
  std::vector<std::string> warnings;
  std::vector<std::string> notes;  // what -v adds: the ports a search left out, and why
  // The most processes one look of the run at who holds a port could not
  // look into (POSIX): a port one of them held was not seen. The run goes on.
  unsigned unseenProcesses;
  bool lastRunKept;               // the port's last run was written (or tried) while the port was held
  bool portAnswered;              // something answered on the port: it led to a device
  bool displayOnRecord;           // before the run, a record was kept of the display the port leads to
  std::string source;             // apply: "policy" or the message file's path; empty: none read
  std::vector<std::string> forgotten;  // forget: the state keys whose records were dropped
};

// A report that ends before any job ran (a usage error, refused rows): the
// outcome and its line from the outcome table.
void ConcludeReport(JobReport* report, JobOutcome outcome, const std::string& detail);

// find: every candidate probed, and the one a write would use.
void RunFindJob(const std::u16string& port, const JobHooks& hooks, JobReport* report);

// write and factory-default. The front end's fields get the rows, the speed
// and the port before the exchange; its boxes are the exchange's messages.
void RunWriteJob(const WriteJobRequest& request, FrontEnd* frontEnd, JobReport* report);

#endif  // VFD_JOB_DISPLAY_JOB_H

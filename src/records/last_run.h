// A device's last run of write, factory-default or apply, kept beside its
// state in the state directory (vfd-<key>.last): one small file, written
// whole or not at all and never through a link, read only when it is a
// regular file holding a whole last run of that device.
#ifndef VFD_RECORDS_LAST_RUN_H
#define VFD_RECORDS_LAST_RUN_H

#include <string>

#include "records/state_store.h"

struct LastRun {
  std::string stateKey;   // the device's; empty: the run reached no port
  std::string port;       // UTF-8, the name it used (also for a name too long for a port); empty: none
  std::string command;    // "write", "factory-default", "apply"
  std::string outcome;    // the outcome's name ("stored")
  std::string reason;     // the port's reason's name ("busy"), "none" when not about the port
  std::string detail;     // the outcome's one line
  long long time = 0;     // seconds since 1970 (UTC), when the run ended
};

// The one file kept for runs that reached no port (a search that found no
// display, a bad message file): "vfd-.last".
const char NoPortKey[] = "";

// stored and unchanged: the display holds the message.
bool IsSuccessOutcome(const std::string& outcome);

bool WriteLastRun(const std::string& stateDir, const LastRun& run, std::string* reason);
StateRead ReadLastRun(const std::string& stateDir, const std::string& stateKey, LastRun* run, std::string* reason);
bool ForgetLastRun(const std::string& stateDir, const std::string& stateKey, std::string* reason);

#endif  // VFD_RECORDS_LAST_RUN_H

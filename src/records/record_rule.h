// What a record is about, which runs keep one, and when a newer one
// supersedes it: the one rule the kept state, the last runs, status and the
// metrics follow.
//
// A record is what the terminal keeps of one display: the kept state and the
// last run of the device a run reached, under the device's key
// (PortIdentity::stateKey), naming the port that run used. A run through a
// name that led to no device keys its record by that name.
//
// A record is about the display its port leads to now: two records are
// about one display when they are under one key, or when the ports they name
// lead to one device now (one name always does). Of the records about one
// display only the newest counts: a run that keeps its record supersedes
// every other record about the display it reached, and status, status
// --port, the metrics file and the fleet report show the newest alone. The
// record of the runs that reached no port ("vfd-.last") is about the display
// a search looks for: a run that reaches a port supersedes it.
#ifndef VFD_RECORDS_RECORD_RULE_H
#define VFD_RECORDS_RECORD_RULE_H

#include <string>
#include <vector>

#include "records/port_identity.h"
#include "records/port_status.h"

// The record is about the display port leads to.
bool RecordIsAbout(const PortStatus& record, const PortIdentity& port);

// The records shown: of those about one display, the newest (the latest of
// its last run and its kept state; of two as new, the first); in their order.
std::vector<PortStatus> NewestPerDisplay(const std::vector<PortStatus>& records);

// Whether a run keeps its record: apply's always, as it runs for the display
// the terminal is meant to keep, whose failures the fleet must see; so does
// a run that searched for the display (a rollout's write: a display missing
// or silent is the fleet's to see); a run given its port by hand only when
// the port led to a device (something answered there) or to a display kept
// on record before the run: a port mistyped at a prompt is reported on the
// spot, and kept nowhere.
bool RunKeepsRecord(const std::string& command, bool searched, bool portAnswered, bool displayOnRecord);

#endif  // VFD_RECORDS_RECORD_RULE_H

// A run as the fleet's collectors read it: the Prometheus text format of
// every port's status, and one entry in the systemd journal's native
// protocol.
#ifndef VFD_RECORDS_RUN_EXPORTS_H
#define VFD_RECORDS_RUN_EXPORTS_H

#include <string>
#include <vector>

#include "records/last_run.h"
#include "records/port_status.h"

// Per port: vfdstartup_last_run_timestamp_seconds{port},
// vfdstartup_last_outcome{port,outcome} (1 for the last outcome) and
// vfdstartup_message_kept{port}, each with its HELP and TYPE lines.
std::string MetricsText(const std::vector<PortStatus>& statuses);

// The journal entry of a run: MESSAGE, MESSAGE_ID (one per outcome,
// explained by the catalog), PRIORITY, SYSLOG_IDENTIFIER and the
// VFDSTARTUP_OUTCOME, _PORT, _REASON, _COMMAND and _UNSEEN_PROCESSES fields:
// the last, how many processes the run's look at who holds a port could not
// look into (a port they held was not seen), which MESSAGE says too when any.
std::string JournalDatagram(const LastRun& run, unsigned unseenProcesses);

#endif  // VFD_RECORDS_RUN_EXPORTS_H

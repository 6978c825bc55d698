// The write job both console fixtures run: row0 and "Open 8-22" at a speed
// position, to a port, its state kept in a directory.
#ifndef VFD_TESTS_JOB_REQUEST_H
#define VFD_TESTS_JOB_REQUEST_H

#include <string>

#include "job/display_job.h"
#include "job/message_rows.h"
#include "protocol_expected.h"

inline WriteJobRequest WriteRequestFor(const std::string& row0, const char* port, int speedPosition,
                                       const std::string& stateDir) {
  std::u16string rows[2] = {expected::Wide(row0), u"Open 8-22"};
  MessageRows prepared = PrepareMessageRows(rows, ROWS_TRANSLITERATE);
  WriteJobRequest request = {};
  request.action = WRITE_ACTION_WRITE;
  for (int row = 0; row < 2; ++row) request.fields[row] = prepared.fields[row];
  request.speedPosition = speedPosition;
  request.record = RecordForRows(prepared, speedPosition, false);
  request.port = expected::Wide(port);
  request.stateDir = stateDir;
  return request;
}

#endif  // VFD_TESTS_JOB_REQUEST_H

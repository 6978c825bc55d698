// The two rows as the module will hold them. By default a row is first
// transliterated to what the module can show ("Café" becomes "Cafe"), then
// the dialog's rules apply: at most 63 characters, cut at the first one the
// module cannot show. Every row that will not be stored as given is a
// warning that shows what will be; --strict refuses such rows instead, and
// --no-transliterate keeps the dialog's cut alone.
#ifndef VFD_JOB_MESSAGE_ROWS_H
#define VFD_JOB_MESSAGE_ROWS_H

#include <string>
#include <vector>

#include "protocol/display_protocol.h"

// Flags: ROWS_STRICT | ROWS_DIALOG_CUT refuses what the dialog's cut alone
// would change.
enum RowMode { ROWS_TRANSLITERATE = 0, ROWS_DIALOG_CUT = 1, ROWS_STRICT = 2 };

struct MessageRows {
  std::u16string fields[2];          // what the exchange's row fields get
  std::u16string stored[2];          // what the module will hold
  std::vector<std::string> warnings;
  std::string refusal;               // ROWS_STRICT: why the rows are refused; empty: they are not
};

// rows: the texts asked for (the default rows where none was given).
MessageRows PrepareMessageRows(const std::u16string rows[2], RowMode mode);

// The record the module will hold: the factory default, or the stored rows
// with the speed (a position in the speed list).
StartupMessageRecord RecordForRows(const MessageRows& rows, int speedPosition, bool factoryDefault);

#endif  // VFD_JOB_MESSAGE_ROWS_H

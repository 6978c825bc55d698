// The terminal's own message as a small text file, for `vfdstartup-cli
// apply`: one `key = value` per line, UTF-8. A line whose first character
// other than blanks is `#` is a comment; blank lines are skipped. The value is
// the rest of the line with the blanks around it removed; a value in double
// quotes keeps the blanks inside them. Keys: row0, row1 and speed (each
// required), port and strict (optional). Anything else is an error that names
// the file and the line, so a typing mistake never goes unnoticed on a
// terminal nobody watches.
#ifndef VFD_CLI_MESSAGE_FILE_H
#define VFD_CLI_MESSAGE_FILE_H

#include <string>

enum MessageKey { MESSAGE_ROW0, MESSAGE_ROW1, MESSAGE_SPEED, MESSAGE_PORT, MESSAGE_STRICT, MESSAGE_KEYS };

struct MessageFile {
  std::u16string rows[2];
  int speedPosition;          // in the speed list
  std::string port;           // as written: a path, a pattern or a port name; empty: none
  bool strict;                // refuse rows that would not be stored as given
  int lineOf[MESSAGE_KEYS];   // the line each key is on; 0: not given (the policy's: 1 when given)
  bool fromPolicy;            // read from the machine's policy (message_policy.h), not a file
};

// text: the file's bytes. False with "PATH:LINE: what is wrong" (or
// "PATH: ..." for what no line holds, such as a missing row).
bool ParseMessageFile(const std::string& path, const std::string& text, MessageFile* file, std::string* error);

// Where a key's value was given, for a line that names it: "PATH:LINE", or
// the policy's value (HKLM\SOFTWARE\Policies\vfdstartup\Port).
std::string PlaceOf(const std::string& path, const MessageFile& file, MessageKey key);

#endif  // VFD_CLI_MESSAGE_FILE_H

// printf-style formatting of the write sequence's messages: each %s takes one
// UTF-16 text. The result never runs past the buffer, whatever the argument.
#ifndef VFD_MESSAGE_FORMAT_H
#define VFD_MESSAGE_FORMAT_H

#include "win_types.h"

// Every message of a write sequence is formed in a buffer of this size.
const DWORD MessageBufferUnits = 512;

// Copies format into buffer, replacing every %s with argument and %% with %;
// any other % sequence is copied as it is. At most bufferUnits - 1 units are
// written, always followed by a terminator (nothing at all when bufferUnits is
// 0). A null argument counts as empty text.
void FormatMessageText(Utf16Unit* buffer, DWORD bufferUnits, const Utf16Unit* format,
                       const Utf16Unit* argument);

#endif  // VFD_MESSAGE_FORMAT_H

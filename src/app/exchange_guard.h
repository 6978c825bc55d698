// Runs the dialog's write sequences and keeps a close request that arrives
// during one until it has ended. The sequence's boxes run a message loop of
// their own, so the dialog can be asked to close (another program, "End
// task") from inside one of them; closing there would free the dialog's
// record and window while the sequence still uses them, and leave the module
// in set-up mode and the port in the write profile.
#ifndef VFD_EXCHANGE_GUARD_H
#define VFD_EXCHANGE_GUARD_H

#include "writing/write_sequence.h"

typedef void (*CloseProc)(void* context);

// RunWriteSequence, then any close requested meanwhile. While a sequence runs
// a second one runs nothing (WRITE_NOTHING_RUN).
WriteResult RunGuardedWriteSequence(FrontEnd* frontEnd, WriteAction action);

// Closes now, or remembers the request (the latest one) and closes once the
// running sequence has ended.
void RequestClose(CloseProc close, void* context);

#endif  // VFD_EXCHANGE_GUARD_H

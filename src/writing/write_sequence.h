// One press of "Write to VFD" or "Set to factory default", from reading the
// port field to the outcome box, with the port closed again at the end.
#ifndef VFD_WRITE_SEQUENCE_H
#define VFD_WRITE_SEQUENCE_H

#include "win_types.h"

enum WriteAction { WRITE_ACTION_WRITE, WRITE_ACTION_FACTORY_DEFAULT };

// Needs g_dialogState; every outcome is shown to the operator.
void RunWriteSequence(HWND dialog, WriteAction action);

#endif  // VFD_WRITE_SEQUENCE_H

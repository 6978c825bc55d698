// Does a display module answer on this port? Silent towards the operator;
// the port's line settings and timeouts are put back whatever the outcome.
#ifndef VFD_DISPLAY_PROBE_H
#define VFD_DISPLAY_PROBE_H

#include "win_types.h"

bool ProbeDisplay(const Utf16Unit* portName);

#endif  // VFD_DISPLAY_PROBE_H

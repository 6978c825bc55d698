// Lists the system's serial ports in the port combo and fills its field with
// the first port where a display answers, the configured OPOS port first.
#ifndef VFD_PORT_DISCOVERY_H
#define VFD_PORT_DISCOVERY_H

#include <cstddef>

#include "win_types.h"

extern const Utf16Unit SerialCommKeyPath[];      // HARDWARE\DEVICEMAP\SERIALCOMM
extern const Utf16Unit LineDisplayKeyPath[];     // SOFTWARE\OLEforRetail\...\QVrm7700LineDisplay
extern const Utf16Unit ConfiguredPortValueName[];  // Port

void DiscoverPorts(HWND portCombo);

// Where discovery's working buffers come from: zero-filled memory that free()
// releases, or null when it cannot be had (never an exception). calloc unless
// a test puts its own in to refuse buffers.
typedef void* (*DiscoveryAllocator)(size_t count, size_t unitSize);
extern DiscoveryAllocator g_discoveryAllocate;

#endif  // VFD_PORT_DISCOVERY_H

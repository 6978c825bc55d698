// Lists the system's serial ports in the port combo and fills its field with
// the first port where a display answers, the configured OPOS port first.
#ifndef VFD_PORT_DISCOVERY_H
#define VFD_PORT_DISCOVERY_H

#include <cstddef>

#include "win_types.h"

extern const Utf16Unit SerialCommKeyPath[];      // HARDWARE\DEVICEMAP\SERIALCOMM
extern const Utf16Unit LineDisplayKeyPath[];     // SOFTWARE\OLEforRetail\...\QVrm7700LineDisplay
extern const Utf16Unit ConfiguredPortValueName[];  // Port

struct FrontEnd;

// The dialog's discovery: every listed port into the port field's list, and
// the first port where a display answers into the field.
void DiscoverPorts(FrontEnd* frontEnd);

// The same reads for the console program, without a dialog and without
// probing. ReadSystemPortList hands each listed name (REG_SZ values, in
// enumeration order) to onName; false when the list key is missing or cannot
// be measured. ReadConfiguredPortName fills ConfiguredPortUnits units; false
// when there is no usable "Port" value.
const DWORD ConfiguredPortUnits = 32;
typedef void (*PortNameCallback)(void* context, const Utf16Unit* name);
bool ReadSystemPortList(PortNameCallback onName, void* context);
bool ReadConfiguredPortName(Utf16Unit* configuredPort);

// Where discovery's working buffers come from: zero-filled memory that free()
// releases, or null when it cannot be had (never an exception). calloc unless
// a test puts its own in to refuse buffers.
typedef void* (*DiscoveryAllocator)(size_t count, size_t unitSize);
extern DiscoveryAllocator DiscoveryAllocate;

#endif  // VFD_PORT_DISCOVERY_H

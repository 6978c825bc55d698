// Lists the system's serial ports in the port combo and fills its field with
// the first port where a display answers, the configured OPOS port first.
#ifndef VFD_PORT_DISCOVERY_H
#define VFD_PORT_DISCOVERY_H

#include "win_types.h"

extern const Utf16Unit SerialCommKeyPath[];      // HARDWARE\DEVICEMAP\SERIALCOMM
extern const Utf16Unit LineDisplayKeyPath[];     // SOFTWARE\OLEforRetail\...\QVrm7700LineDisplay
extern const Utf16Unit ConfiguredPortValueName[];  // Port

void DiscoverPorts(HWND portCombo);

#endif  // VFD_PORT_DISCOVERY_H

// What a port's name leads to: the device, the key its records are kept
// under, and this attachment of it. Realised in port_identity_posix.cpp and
// port_identity_win32.cpp.
#ifndef VFD_RECORDS_PORT_IDENTITY_H
#define VFD_RECORDS_PORT_IDENTITY_H

#include <string>

// The device a port name reaches, as far as the platform can tell.
struct PortIdentity {
  std::u16string name;     // as given or listed; what is opened and reported
  std::string device;      // equal for two names of one device, different for two devices
  std::string stateKey;    // the name the device's state is kept under (UTF-8)
  // This attachment of the device: it changes whenever a module may have been
  // put behind the name since (a new boot, a device node made again, a port
  // plugged in again). Empty: the platform cannot tell (never the same).
  std::string attachment;
};
PortIdentity IdentifyPort(const std::u16string& name);

#endif  // VFD_RECORDS_PORT_IDENTITY_H

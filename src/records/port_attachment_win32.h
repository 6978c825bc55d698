// The attachment of a COM port on Windows (PortIdentity::attachment).
#ifndef VFD_RECORDS_PORT_ATTACHMENT_WIN32_H
#define VFD_RECORDS_PORT_ATTACHMENT_WIN32_H

#include <string>

// The boot, and the last time Plug and Play brought the port's device, for
// a port name in upper case ("COM3"). The boot alone where the port has no
// such device (a port another driver makes, or a system without the
// property).
std::string PortAttachment(const std::wstring& upperName);

#endif  // VFD_RECORDS_PORT_ATTACHMENT_WIN32_H

// What a port's name leads to on Windows (port_identity.h).
#include "records/port_attachment_win32.h"
#include "records/port_identity.h"
#include "text/utf_convert.h"

// Windows names a port without regard to case: COM3 and com3 are one device.
PortIdentity IdentifyPort(const std::u16string& name) {
  PortIdentity identity;
  identity.name = name;
  std::u16string upper = name;
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  identity.device = Utf16ToUtf8(upper);
  identity.stateKey = identity.device;
  identity.attachment = PortAttachment(std::wstring(upper.begin(), upper.end()));
  return identity;
}

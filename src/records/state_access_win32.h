// Who may change a state directory on Windows. A state found where an
// ordinary account could have written it proves nothing (it could make
// --if-changed skip a write), so such a directory is not used.
#ifndef VFD_RECORDS_STATE_ACCESS_WIN32_H
#define VFD_RECORDS_STATE_ACCESS_WIN32_H

#include <windows.h>

#include <string>

// True when the owner, or an entry of the access list that allows a right
// to change what is in the directory (add or delete files, write data,
// change the rights or the owner), is an account other than SYSTEM, the
// Administrators, TrustedInstaller, CREATOR OWNER (rights for files an
// allowed account makes) and self, the account that runs the program; who
// is then that account's name. A null access list lets everybody in.
bool AccessLetsOthersChange(PSID owner, PACL dacl, PSID self, std::string* who);

#endif  // VFD_RECORDS_STATE_ACCESS_WIN32_H

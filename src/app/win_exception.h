// The one exception of the program: thrown by the allocation-failure handler
// when the dialog's record cannot be allocated, caught by value in the dialog
// procedure, which shows its message.
#ifndef VFD_WIN_EXCEPTION_H
#define VFD_WIN_EXCEPTION_H

#include "win_types.h"

class WinException {
 public:
  DWORD code;              // the thread's last-error value at the failure
  const wchar_t* message;  // a constant UTF-16 text
};

#endif  // VFD_WIN_EXCEPTION_H

// What the POSIX port realisation's files share: the record a HANDLE points
// at and the thread's last error. Only port_open_posix.cpp (opening and
// claiming), port_line_posix.cpp (line settings) and port_io_posix.cpp
// (reading and writing) include it.
#ifndef VFD_PORT_POSIX_H
#define VFD_PORT_POSIX_H

#include <sys/types.h>
#include <termios.h>

#include <cstdint>

#include <string>

#include "win_types.h"

// What a HANDLE points at. Each probe thread has its own port, so a record
// is only ever used by one thread at a time and needs no lock.
struct PosixPort {
  int fd;
  bool isTerminal;
  bool madeExclusive;        // this program set TIOCEXCL, so it clears it
  bool haveSaved;
  termios savedTermios;      // as first read
  COMMTIMEOUTS timeouts;
  std::string lockFile;      // the lock file this program holds; empty: none
  dev_t device;              // for the look after the open
  uint64_t opened;           // its open's number (CountOpen)
};

// The port record behind a handle; null (ERROR_INVALID_HANDLE) for none.
PosixPort* PosixPortOf(HANDLE handle);

// The thread's last error as PortGetLastError reports it.
BOOL FailWith(DWORD code);
DWORD WindowsErrorOf(int error);
BOOL FailWithErrno();

#endif  // VFD_PORT_POSIX_H

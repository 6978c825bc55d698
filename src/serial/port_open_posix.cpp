// The serial port operations over termios, for the console program on
// Linux: opening and claiming a port. Each operation gives the logic what the
// kernel32 call of the same name gives it on Windows; this file gives an
// exclusive port (port_claim_posix.cpp keeps other programs out), the line
// settings are in port_line_posix.cpp, reads and writes in port_io_posix.cpp.
#include "serial/port_ops.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "serial/port_claim_posix.h"
#include "serial/port_device_posix.h"
#include "serial/port_posix.h"
#include "text/utf_convert.h"

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;
thread_local PortOpenDetail LastOpenDetail;

void CopyText(const std::string& text, char* field, size_t size) {
  std::snprintf(field, size, "%s", text.c_str());
}

HANDLE FailOpen(DWORD code) {
  LastError = code;
  return INVALID_HANDLE_VALUE;
}

HANDLE FailBusy(const PortHolder& holder, bool exclusive) {
  LastOpenDetail.holderProcessId = static_cast<DWORD>(holder.processId);
  CopyText(holder.program, LastOpenDetail.holderProgram, sizeof LastOpenDetail.holderProgram);
  CopyText(holder.lockFile, LastOpenDetail.lockFile, sizeof LastOpenDetail.lockFile);
  LastOpenDetail.exclusive = exclusive ? TRUE : FALSE;
  return FailOpen(ERROR_SHARING_VIOLATION);
}

std::string GroupName(gid_t id) {
  group entry{};
  group* found = nullptr;
  char names[1024];
  bool named = getgrgid_r(id, &entry, names, sizeof names, &found) == 0 && found != nullptr;
  return named ? found->gr_name : std::to_string(id);
}

std::string UserName(uid_t id) {
  passwd entry{};
  passwd* found = nullptr;
  char names[1024];
  bool named = getpwuid_r(id, &entry, names, sizeof names, &found) == 0 && found != nullptr;
  return named ? found->pw_name : std::to_string(id);
}

// Joining the device's group helps only where that group may read and write
// it; otherwise the message says whose the device is and how it is set.
HANDLE FailAccess(const struct stat& device) {
  if ((device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
    CopyText(GroupName(device.st_gid), LastOpenDetail.accessGroup, sizeof LastOpenDetail.accessGroup);
  else
    std::snprintf(LastOpenDetail.ownerAndMode, sizeof LastOpenDetail.ownerAndMode, "%s:%s with mode %04o",
                  UserName(device.st_uid).c_str(), GroupName(device.st_gid).c_str(), device.st_mode & 07777);
  return FailOpen(ERROR_ACCESS_DENIED);
}

// A node without hardware behind it (a ttyS without its UART) fails with EIO.
DWORD OpenErrorOf(int error) { return error == EIO ? ERROR_FILE_NOT_FOUND : WindowsErrorOf(error); }

// Only a serial device is opened: anything else (a directory, a socket, a
// file, /dev/null, the pseudo-terminal multiplexer) is refused before it is
// opened, whoever holds it, so that nothing of the exchange can reach it.
// The system console, the virtual consoles and the program's own terminal
// are somebody's screen.
bool IsSerialCandidate(const std::string& path, struct stat* device) {
  if (stat(path.c_str(), device) != 0) {
    LastError = WindowsErrorOf(errno);
    return false;
  }
  if (!S_ISCHR(device->st_mode) || IsKnownNonSerialDevice(device->st_rdev)) {
    LastError = ERROR_INVALID_FUNCTION;
    return false;
  }
  if (TerminalsInUse().count(device->st_rdev) != 0) {
    LastError = ERROR_DEVICE_IN_USE;
    return false;
  }
  return true;
}

std::string CanonicalPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string canonical = resolved != nullptr ? resolved : path;
  free(resolved);
  return canonical;
}

// After the open: another run of this program (its flock) makes the port
// busy. Exclusive mode found set, with no holder seen before the open, is a
// leftover a pseudo-terminal keeps after its setter ended (root opens an
// exclusive terminal all the same), or the claim of a holder this user
// cannot see: the port is used, and the mode is left as it was found. The
// port a record goes to is looked at once more (PortConfirmExclusive).
HANDLE ClaimOpened(int fd, uint64_t opened, const struct stat& device, const std::string& canonical,
                   PosixPort* port) {
  PortHolder holder;
  int exclusive = 0;
  bool wasExclusive = port->isTerminal && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailBusy(holder, false);
  bool taken = false;
  std::string lockFile = LockFileFor(canonical), problem;
  if (!TakeLock(lockFile, canonical, &taken, &holder, &problem)) return FailBusy(holder, false);
  if (taken) port->lockFile = lockFile;
  if (port->isTerminal && !wasExclusive) port->madeExclusive = ioctl(fd, TIOCEXCL) == 0;
  port->device = device.st_rdev;
  port->opened = opened;
  CopyText(problem, LastOpenDetail.lockProblem, sizeof LastOpenDetail.lockProblem);
  return port;
}

// A port another program holds or has locked is not even opened: an open
// can change a real line's modem signals.
HANDLE OpenUnclaimed(const std::string& path, const struct stat& device, bool* opening) {
  std::string canonical = CanonicalPath(path);
  PortHolder holder;
  std::string notClaimed;  // a stranger's lock file: TakeLock says so again
  if (FindLiveLock(LockFileFor(canonical), canonical, &holder, &notClaimed)) return FailBusy(holder, false);
  HolderFound found = FindOtherHolder(device.st_rdev, &holder);
  LastOpenDetail.unseenProcesses = holder.unseenProcesses;
  if (found == HOLDER_LOOK_STOPPED) return FailOpen(ERROR_OPERATION_ABORTED);
  if (found == HOLDER_FOUND) return FailBusy(holder, false);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  uint64_t opened = CountOpen();
  *opening = true;
  // Another account's exclusive mode: busy, whoever it is.
  if (fd < 0 && errno == EBUSY) return FailBusy(holder, true);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) return FailAccess(device);
  if (fd < 0) return FailOpen(OpenErrorOf(errno));
  PosixPort* port = new (std::nothrow) PosixPort();
  if (port == nullptr) {
    close(fd);
    return FailOpen(ERROR_NOT_ENOUGH_MEMORY);
  }
  port->fd = fd;
  port->isTerminal = isatty(fd) != 0;
  HANDLE claimed = ClaimOpened(fd, opened, device, canonical, port);
  if (claimed != INVALID_HANDLE_VALUE) return claimed;
  DWORD error = LastError;
  close(fd);  // drops the flock with it; exclusive mode was not ours to clear
  delete port;
  return FailOpen(error);
}

// Two programs on one port must never interleave their bytes. Linux keeps
// nobody out by itself: the lock file, exclusive mode, the flock between
// runs of this program and a look at who else has the device open do.
HANDLE OpenExclusive(const std::string& path) {
  std::memset(&LastOpenDetail, 0, sizeof LastOpenDetail);
  struct stat device {};
  if (!IsSerialCandidate(path, &device)) return INVALID_HANDLE_VALUE;
  BeginClaim();
  bool opening = false;
  HANDLE handle = OpenUnclaimed(path, device, &opening);
  if (handle == INVALID_HANDLE_VALUE) EndClaim(opening);
  return handle;
}

}  // namespace

BOOL FailWith(DWORD code) {
  LastError = code;
  return FALSE;
}

DWORD WindowsErrorOf(int error) {
  switch (error) {
    case ENOENT: case ENODEV: case ENXIO: case ENOTDIR: case ELOOP: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EISDIR: case ENOTTY: return ERROR_INVALID_FUNCTION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

BOOL FailWithErrno() { return FailWith(WindowsErrorOf(errno)); }

PosixPort* PosixPortOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<PosixPort*>(handle);
}

// The name is the device's path, byte for byte as it was given.
HANDLE PortCreateFile(const Utf16Unit* portName) {
  std::u16string name(portName);
  if (name.empty()) return FailOpen(ERROR_FILE_NOT_FOUND);
  return OpenExclusive(BytesFromUtf16(name));
}

// A look that began after the open finds a holder that opened the port
// since the look before (a search takes one for every port it probes):
// nothing of the record has reached the port yet. Only the port a record
// goes to pays for this second look.
BOOL PortConfirmExclusive(HANDLE handle) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  PortHolder holder;
  HolderFound found = FindOtherHolder(port->device, &holder, port->opened);
  LastOpenDetail.unseenProcesses = std::max<DWORD>(LastOpenDetail.unseenProcesses, holder.unseenProcesses);
  if (found == HOLDER_NONE) return TRUE;
  if (found == HOLDER_LOOK_STOPPED) return FailWith(ERROR_OPERATION_ABORTED);
  FailBusy(holder, false);
  return FALSE;
}

void PortSetStopCheck(bool (*stopRequested)()) { SetLookStopCheck(stopRequested); }

BOOL PortCloseHandle(HANDLE handle) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  if (port->madeExclusive) ioctl(port->fd, TIOCNXCL);
  int closed = close(port->fd);  // drops the flock with it
  int error = errno;
  if (!port->lockFile.empty()) ReleaseLock(port->lockFile);
  delete port;
  EndClaim(true);
  return closed == 0 ? TRUE : FailWith(WindowsErrorOf(error));
}

DWORD PortGetLastError() { return LastError; }

void PortGetOpenDetail(PortOpenDetail* detail) { *detail = LastOpenDetail; }

// A device path's longest file name (NAME_MAX); longer names are not probed.
extern const DWORD PortNameMax = 255;

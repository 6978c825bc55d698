// The serial port operations over termios, for the console program on
// Linux. Each gives the logic what the kernel32 call of the
// same name gives it on Windows: an exclusive port, DCB line settings that
// can be put back exactly, reads that never wait and writes that end at the
// COMMTIMEOUTS write deadline with the count of bytes that really left.
#include "serial/port_ops.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "serial/port_claim_posix.h"
#include "text/utf_convert.h"

namespace {

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
};

struct BaudCode {
  DWORD baud;
  speed_t code;
};

struct FlagCode {
  BYTE value;
  tcflag_t flags;
};

const BaudCode BaudCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

const FlagCode ByteSizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

const tcflag_t ParityMask = PARENB | PARODD | CMSPAR;
const FlagCode Parities[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
    {MARKPARITY, PARENB | PARODD | CMSPAR},
    {SPACEPARITY, PARENB | CMSPAR},
};

// Flags a DCB sets; tcsetattr reports success when any change took effect,
// so these are read back.
const tcflag_t LineFlagMask = CSIZE | ParityMask | CSTOPB | CRTSCTS;

const DWORD SendPollMs = 1;

thread_local DWORD LastError = ERROR_SUCCESS;
thread_local PortOpenDetail LastOpenDetail;

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

PosixPort* PortOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<PosixPort*>(handle);
}

// ---- opening ----------------------------------------------------------------

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

HANDLE FailAccess(const struct stat& device) {
  group entry{};
  group* owner = nullptr;
  char names[1024];
  if (getgrgid_r(device.st_gid, &entry, names, sizeof names, &owner) == 0 && owner != nullptr)
    CopyText(owner->gr_name, LastOpenDetail.accessGroup, sizeof LastOpenDetail.accessGroup);
  return FailOpen(ERROR_ACCESS_DENIED);
}

// A node without hardware behind it (a ttyS without its UART) fails with EIO.
DWORD OpenErrorOf(int error) { return error == EIO ? ERROR_FILE_NOT_FOUND : WindowsErrorOf(error); }

// Only a character device can be a serial port: anything else (a directory,
// a socket, a file) is refused before it is opened, so that nothing of the
// exchange can reach it.
bool IsCharacterDevice(const std::string& path, struct stat* device) {
  if (stat(path.c_str(), device) == 0) {
    if (S_ISCHR(device->st_mode)) return true;
    LastError = ERROR_INVALID_FUNCTION;
    return false;
  }
  LastError = WindowsErrorOf(errno);
  return false;
}

std::string CanonicalPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string canonical = resolved != nullptr ? resolved : path;
  free(resolved);
  return canonical;
}

// After the open: another run of this program (its flock), or a terminal
// in exclusive mode while another process has it open (root may open an
// exclusive terminal all the same), make the port busy. A pseudo-terminal
// keeps exclusive mode after the program that set it has ended; with nobody
// holding the device, the mode is such a leftover and is taken over.
HANDLE ClaimOpened(int fd, const std::string& device, PosixPort* port) {
  PortHolder holder;
  int exclusive = 0;
  bool isExclusive = port->isTerminal && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  bool held = FindOtherHolder(device, &holder);
  if (held) return FailBusy(holder, isExclusive);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailBusy(holder, false);
  bool taken = false;
  if (!TakeLock(LockFileFor(device), &taken, &holder)) return FailBusy(holder, false);
  if (taken) port->lockFile = LockFileFor(device);
  if (port->isTerminal) port->madeExclusive = ioctl(fd, TIOCEXCL) == 0;
  return port;
}

// Two programs on one port must never interleave their bytes. Linux keeps
// nobody out by itself: the lock file, exclusive mode, the flock between
// runs of this program and a look at who else has the device open do.
HANDLE OpenExclusive(const std::string& path) {
  std::memset(&LastOpenDetail, 0, sizeof LastOpenDetail);
  struct stat device {};
  if (!IsCharacterDevice(path, &device)) return INVALID_HANDLE_VALUE;
  std::string canonical = CanonicalPath(path);
  PortHolder holder;
  // A port another program holds or has locked is not even opened: an
  // open can change a real line's modem signals.
  if (FindLiveLock(LockFileFor(canonical), &holder)) return FailBusy(holder, false);
  if (FindOtherHolder(canonical, &holder)) return FailBusy(holder, false);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) {
    FindOtherHolder(canonical, &holder);
    return FailBusy(holder, true);
  }
  if (fd < 0 && (errno == EACCES || errno == EPERM)) return FailAccess(device);
  if (fd < 0) return FailOpen(OpenErrorOf(errno));
  PosixPort* port = new (std::nothrow) PosixPort();
  if (port == nullptr) {
    close(fd);
    return FailOpen(ERROR_NOT_ENOUGH_MEMORY);
  }
  port->fd = fd;
  port->isTerminal = isatty(fd) != 0;
  HANDLE claimed = ClaimOpened(fd, canonical, port);
  if (claimed != INVALID_HANDLE_VALUE) return claimed;
  DWORD error = LastError;
  close(fd);  // drops the flock with it; exclusive mode was not ours to clear
  delete port;
  return FailOpen(error);
}

// ---- line settings ----------------------------------------------------------

DWORD BaudOf(speed_t code) {
  for (const BaudCode& entry : BaudCodes)
    if (entry.code == code) return entry.baud;
  return 0;
}

BYTE ValueOf(const FlagCode* table, size_t count, tcflag_t flags) {
  for (size_t i = 0; i < count; ++i)
    if (table[i].flags == flags) return table[i].value;
  return table[0].value;
}

DCB DcbOf(const termios& settings) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = BaudOf(cfgetospeed(&settings));
  dcb.fBinary = 1;
  dcb.fParity = (settings.c_iflag & INPCK) ? 1 : 0;
  bool ctsFlow = (settings.c_cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = ctsFlow ? 1 : 0;
  dcb.fRtsControl = ctsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fOutX = (settings.c_iflag & IXON) ? 1 : 0;
  dcb.fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
  dcb.ByteSize = ValueOf(ByteSizes, std::size(ByteSizes), settings.c_cflag & CSIZE);
  tcflag_t parity = settings.c_cflag & ParityMask;
  dcb.Parity = (parity & PARENB) ? ValueOf(Parities, std::size(Parities), parity) : NOPARITY;
  dcb.StopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  dcb.EofChar = static_cast<char>(settings.c_cc[VEOF]);
  return dcb;
}

bool FlagsOf(const FlagCode* table, size_t count, BYTE value, tcflag_t* flags) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].value != value) continue;
    *flags = table[i].flags;
    return true;
  }
  return false;
}

bool SpeedCodeOf(DWORD baud, speed_t* code) {
  for (const BaudCode& entry : BaudCodes) {
    if (entry.baud != baud) continue;
    *code = entry.code;
    return true;
  }
  return false;
}

// Raw: bytes pass untouched both ways (no echo, no line editing, no signals,
// no CR/LF translation), and a read returns at once with what has arrived.
// IGNBRK keeps a break on the line from reading as a 00 byte in a reply.
void MakeRaw(termios* settings) {
  cfmakeraw(settings);
  settings->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  settings->c_iflag |= IGNBRK;
  settings->c_cc[VMIN] = 0;
  settings->c_cc[VTIME] = 0;
}

// False for a rate, byte size, parity or stop-bit setting that has no
// termios form.
bool TermiosFor(const DCB* dcb, termios* settings) {
  speed_t speed;
  tcflag_t size, parity;
  if (!SpeedCodeOf(dcb->BaudRate, &speed) ||
      !FlagsOf(ByteSizes, std::size(ByteSizes), dcb->ByteSize, &size) ||
      !FlagsOf(Parities, std::size(Parities), dcb->Parity, &parity) || dcb->StopBits > TWOSTOPBITS) {
    return false;
  }
  MakeRaw(settings);
  settings->c_cflag &= ~LineFlagMask;
  settings->c_cflag |= CREAD | CLOCAL | size | parity;
  if (dcb->StopBits != ONESTOPBIT) settings->c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow) settings->c_cflag |= CRTSCTS;
  if (dcb->fOutX) settings->c_iflag |= IXON;
  if (dcb->fInX) settings->c_iflag |= IXOFF;
  if (dcb->fParity && parity != 0) settings->c_iflag |= INPCK;
  settings->c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
  settings->c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
  return cfsetispeed(settings, speed) == 0 && cfsetospeed(settings, speed) == 0;
}

bool TookEffect(int fd, const termios& wanted) {
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  return cfgetospeed(&now) == cfgetospeed(&wanted) &&
         (now.c_cflag & LineFlagMask) == (wanted.c_cflag & LineFlagMask);
}

BOOL ApplyDcb(int fd, const DCB* dcb) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return FailWithErrno();
  if (!TermiosFor(dcb, &settings)) return FailWith(ERROR_INVALID_PARAMETER);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return FailWithErrno();
  if (!TookEffect(fd, settings)) return FailWith(ERROR_INVALID_PARAMETER);
  return TRUE;
}

// A pty has no modem lines and refuses TIOCMBIS; as under Wine, the line
// settings stand all the same.
void RaiseEnabledLines(int fd, const DCB* dcb) {
  int lines = 0;
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE) lines |= TIOCM_DTR;
  if (dcb->fRtsControl == RTS_CONTROL_ENABLE) lines |= TIOCM_RTS;
  if (lines != 0) ioctl(fd, TIOCMBIS, &lines);
}

// ---- writing ----------------------------------------------------------------

typedef unsigned long long Milliseconds;
const Milliseconds NoDeadline = ~0ull;

Milliseconds NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Milliseconds>(now.tv_sec) * 1000 + static_cast<Milliseconds>(now.tv_nsec) / 1000000;
}

// Both write totals zero means no write timeout, as on Windows.
Milliseconds WriteDeadline(const COMMTIMEOUTS& timeouts, DWORD size) {
  Milliseconds total = static_cast<Milliseconds>(timeouts.WriteTotalTimeoutMultiplier) * size +
                       timeouts.WriteTotalTimeoutConstant;
  return total == 0 ? NoDeadline : NowMs() + total;
}

int PollTimeout(Milliseconds deadline) {
  if (deadline == NoDeadline) return -1;
  Milliseconds now = NowMs();
  if (now >= deadline) return 0;
  return deadline - now > INT_MAX ? INT_MAX : static_cast<int>(deadline - now);
}

// Hands the bytes to the driver as room appears. Stops early only at the
// deadline (a short write) or on an error (a hung-up line gives EIO).
bool HandOver(int fd, const BYTE* bytes, DWORD size, Milliseconds deadline, DWORD* accepted) {
  while (*accepted < size) {
    pollfd ready = {fd, POLLOUT, 0};
    int polled = poll(&ready, 1, PollTimeout(deadline));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return FailWithErrno();
    if (polled == 0) return true;
    ssize_t n = write(fd, bytes + *accepted, size - *accepted);
    if (n > 0) *accepted += static_cast<DWORD>(n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) return FailWithErrno();
  }
  return true;
}

DWORD OutputQueued(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<DWORD>(queued);
}

void SleepMs(DWORD milliseconds) {
  timespec wait = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) continue;  // a signal cuts no pause short
}

// TIOCOUTQ counts what the driver still holds, so a UART whose CTS is held
// down keeps it until the deadline. A pty passes bytes straight to its other
// side and reports 0: there the write ends once the bytes are accepted.
DWORD WaitUntilSent(int fd, Milliseconds deadline) {
  DWORD queued;
  while ((queued = OutputQueued(fd)) > 0 && NowMs() < deadline) SleepMs(SendPollMs);
  return queued;
}

}  // namespace

// The name is the device's path, byte for byte as it was given.
HANDLE PortCreateFile(const Utf16Unit* portName) {
  std::u16string name(portName);
  if (name.empty()) return FailOpen(ERROR_FILE_NOT_FOUND);
  return OpenExclusive(BytesFromUtf16(name));
}

BOOL PortGetCommState(HANDLE handle, DCB* dcb) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  termios settings{};
  if (tcgetattr(port->fd, &settings) != 0) {
    return FailWith(errno == ENOTTY ? ERROR_INVALID_FUNCTION : WindowsErrorOf(errno));
  }
  *dcb = DcbOf(settings);
  if (!port->haveSaved) {
    port->savedTermios = settings;
    port->haveSaved = true;
  }
  return TRUE;
}

BOOL PortSetCommState(HANDLE handle, const DCB* dcb) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  if (!ApplyDcb(port->fd, dcb)) return FALSE;
  RaiseEnabledLines(port->fd, dcb);
  return TRUE;
}

// A DCB cannot tell a raw line from a cooked one, so the saved termios, not
// the saved DCB, puts back exactly what was there.
BOOL PortRestoreCommState(HANDLE handle, const DCB*) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  if (!port->haveSaved) return FailWith(ERROR_INVALID_FUNCTION);
  return tcsetattr(port->fd, TCSANOW, &port->savedTermios) == 0 ? TRUE : FailWithErrno();
}

// Kept here, not given to the driver: every read returns at once (the
// logic's MAXDWORD/0/0, its only read setting) and writes take their
// deadline from the write totals.
BOOL PortGetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL PortSetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL PortPurgeComm(HANDLE handle, DWORD flags) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!input && !output) return TRUE;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return tcflush(port->fd, queue) == 0 ? TRUE : FailWithErrno();
}

BOOL PortGetCommModemStatus(HANDLE handle, DWORD* status) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  int lines = 0;
  if (ioctl(port->fd, TIOCMGET, &lines) != 0) return FailWithErrno();
  *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
            ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
  return TRUE;
}

// A hung-up line (the USB adapter pulled, the pty's other side closed) can
// never bring another byte. Its read fails at once (EIO, or end of file with
// POLLHUP) rather than passing for silence: the operator is told of a read
// error now instead of after the reply wait, as Windows drivers fail
// ReadFile on a removed device.
BOOL PortReadFile(HANDLE handle, BYTE* buffer, DWORD size, DWORD* count) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  *count = 0;
  ssize_t n = read(port->fd, buffer, size);
  if (n > 0) *count = static_cast<DWORD>(n);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return TRUE;
  if (n < 0) return FailWithErrno();
  pollfd line = {port->fd, POLLIN, 0};
  bool hungUp = poll(&line, 1, 0) == 1 && (line.revents & POLLHUP) != 0;
  return hungUp ? FailWith(ERROR_GEN_FAILURE) : TRUE;
}

// At the deadline the count is what has left the driver, so the logic sees
// a short write; what is still queued is dropped so that it cannot reach the
// module later, in the middle of the next command. (Only then: on a pty
// TCOFLUSH would drop bytes the other side has already been handed.)
BOOL PortWriteFile(HANDLE handle, const BYTE* bytes, DWORD size, DWORD* count) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  *count = 0;
  Milliseconds deadline = WriteDeadline(port->timeouts, size);
  DWORD accepted = 0;
  if (!HandOver(port->fd, bytes, size, deadline, &accepted)) return FALSE;
  DWORD queued = WaitUntilSent(port->fd, deadline);
  if (queued > 0) tcflush(port->fd, TCOFLUSH);
  *count = accepted > queued ? accepted - queued : 0;
  return TRUE;
}

BOOL PortCloseHandle(HANDLE handle) {
  PosixPort* port = PortOf(handle);
  if (port == nullptr) return FALSE;
  if (port->madeExclusive) ioctl(port->fd, TIOCNXCL);
  int closed = close(port->fd);  // drops the flock with it
  int error = errno;
  if (!port->lockFile.empty()) ReleaseLock(port->lockFile);
  delete port;
  return closed == 0 ? TRUE : FailWith(WindowsErrorOf(error));
}

void PortSleep(DWORD milliseconds) { SleepMs(milliseconds); }

DWORD PortGetLastError() { return LastError; }

void PortGetOpenDetail(PortOpenDetail* detail) { *detail = LastOpenDetail; }

// A device path's longest file name (NAME_MAX); longer names are not probed.
extern const DWORD PortNameMax = 255;

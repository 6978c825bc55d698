// The serial port operations over termios: line settings. A DCB is mapped to
// termios here and nowhere else, and the termios first read is what is put
// back, exactly.
#include "serial/port_ops.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "serial/port_posix.h"

namespace {

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

}  // namespace

BOOL PortGetCommState(HANDLE handle, DCB* dcb) {
  PosixPort* port = PosixPortOf(handle);
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
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  if (!ApplyDcb(port->fd, dcb)) return FALSE;
  RaiseEnabledLines(port->fd, dcb);
  return TRUE;
}

// A DCB cannot tell a raw line from a cooked one, so the saved termios, not
// the saved DCB, puts back exactly what was there.
BOOL PortRestoreCommState(HANDLE handle, const DCB*) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  if (!port->haveSaved) return FailWith(ERROR_INVALID_FUNCTION);
  return tcsetattr(port->fd, TCSANOW, &port->savedTermios) == 0 ? TRUE : FailWithErrno();
}

// Kept here, not given to the driver: every read returns at once (the
// logic's MAXDWORD/0/0, its only read setting) and writes take their
// deadline from the write totals.
BOOL PortGetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL PortSetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL PortPurgeComm(HANDLE handle, DWORD flags) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  bool input = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!input && !output) return TRUE;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return tcflush(port->fd, queue) == 0 ? TRUE : FailWithErrno();
}

BOOL PortGetCommModemStatus(HANDLE handle, DWORD* status) {
  PosixPort* port = PosixPortOf(handle);
  if (port == nullptr) return FALSE;
  int lines = 0;
  if (ioctl(port->fd, TIOCMGET, &lines) != 0) return FailWithErrno();
  *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
            ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
  return TRUE;
}


/*
 * LD_PRELOAD fixture: modem lines for emulated serial ports on ptys.
 *
 * A pty has no modem lines, so TIOCMGET fails on it and Wine's
 * GetCommModemStatus reports an error with CTS down. For a pty slave that a
 * vfd-emulator publishes (a state file reached through
 * $VFD_MODEM_LINES_DIR/pts-N, default /tmp/vfd-modem-lines), this answers
 *   TIOCMGET            with the emulator's CTS/DSR/DCD/RI and the DTR/RTS
 *                       last set by the program,
 *   TIOCMSET/BIS/BIC    by recording DTR/RTS in pts-N.out for the emulator's log.
 * and, only while $VFD_OUTPUT_QUEUED is set (tests of the write's accounting),
 *   TIOCOUTQ            with that many bytes still in the driver, as a UART
 *                       whose CTS is held down keeps them (a pty reports 0).
 * Every other request, and every other descriptor, goes to the real ioctl.
 *
 * It also tells the emulator of every open and close of its port, right
 * after the call returned and before the program goes on: a datagram
 * "open PID" or "close PID" to $VFD_MODEM_LINES_DIR/pts-N.sock, then a wait
 * for the answer, which the emulator sends once it has looked at the port
 * and logged what changed. So the emulator's log holds each open before the
 * program's first byte and each close after its last, however busy the
 * machine. The wait ends early when the emulator ends or takes its socket
 * away (a hang-up); it never lasts beyond ReportWaitMs.
 *
 * Wine's i386 ntdll.so calls __ioctl_time64 (glibc's 64-bit time_t entry),
 * other code calls ioctl; both are interposed. Built for i386 (Wine's 32-bit
 * processes) and x86_64, and loaded as LD_PRELOAD=.../$LIB/libvfd_modem_lines.so
 * so that each process picks its own.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*OpenFunction)(const char*, int, ...);
typedef int (*OpenAtFunction)(int, const char*, int, ...);
typedef int (*CloseFunction)(int);

int ioctl(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...);

/* Longer than any emulator takes to answer; only a stopped one comes near. */
enum { ReportWaitMs = 60000, ReportSliceMs = 50 };

/* Unix 98 pty slaves: majors 136 to 143. */
static int IsPtySlave(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static CloseFunction RealClose(void) {
  static CloseFunction next;
  if (next == NULL) next = (CloseFunction)dlsym(RTLD_NEXT, "close");
  return next;
}

struct LineState {
  int cts, dsr, dcd, ri;
};

static int IsModemRequest(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

static const char* LinesDir(void) {
  const char* dir = getenv("VFD_MODEM_LINES_DIR");
  return dir != NULL && *dir != '\0' ? dir : "/tmp/vfd-modem-lines";
}

/* "<dir>/pts-N" for a descriptor on /dev/pts/N; 0 for anything else. */
static int EntryPathFor(int fd, char* path, size_t size) {
  char link[64], target[256];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  if (strncmp(target, "/dev/pts/", 9) != 0) return 0;
  return snprintf(path, size, "%s/pts-%s", LinesDir(), target + 9) < (int)size;
}

static int ReadText(const char* path, char* text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, text, size - 1);
  RealClose()(fd);
  if (n < 0) return 0;
  text[n] = '\0';
  return 1;
}

static int FlagIn(const char* text, const char* name) {
  const char* at = strstr(text, name);
  return at != NULL && at[strlen(name)] == '1';
}

/* Another account's process answers EPERM: it lives. */
static int IsAlive(int pid) { return pid > 0 && !(kill(pid, 0) != 0 && errno == ESRCH); }

/* The entry's text and the pid of the emulator that wrote it. */
static int ReadEntry(const char* entry, char* text, size_t size, int* pid) {
  return ReadText(entry, text, size) && sscanf(text, "pid=%d", pid) == 1;
}

/* The emulator's lines, if the emulator that wrote them still runs. */
static int ReadLineState(const char* entry, struct LineState* state) {
  char text[128];
  int pid = 0;
  if (!ReadEntry(entry, text, sizeof text, &pid) || !IsAlive(pid)) return 0;
  state->cts = FlagIn(text, "cts=");
  state->dsr = FlagIn(text, "dsr=");
  state->dcd = FlagIn(text, "dcd=");
  state->ri = FlagIn(text, "ri=");
  return 1;
}

/* The emulator publishing the port that fd is on: its entry and pid; 0 when
 * fd is no emulated port, or the emulator is this process. */
static int EmulatorOf(int fd, char* entry, size_t size, int* pid) {
  char text[128];
  if (!IsPtySlave(fd) || !EntryPathFor(fd, entry, size)) return 0;
  return ReadEntry(entry, text, sizeof text, pid) && *pid != (int)getpid() && IsAlive(*pid);
}

static ino_t InodeOf(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_ino : 0;
}

/* Waits for the answer while the emulator runs and its socket is the one written to. */
static void AwaitAnswer(int sock, int pid, const char* path, ino_t inode) {
  char answer[8];
  for (int waited = 0; waited < ReportWaitMs; waited += ReportSliceMs) {
    struct pollfd ready = {sock, POLLIN, 0};
    int n = poll(&ready, 1, ReportSliceMs);
    if (n > 0) {
      recv(sock, answer, sizeof answer, 0);
      return;
    }
    if (n < 0 && errno != EINTR) return;
    if (!IsAlive(pid) || InodeOf(path) != inode) return;
  }
}

/* "open PID" or "close PID" to <entry>.sock, and the wait for the answer. */
static void Report(const char* entry, int pid, const char* what) {
  int saved = errno;
  struct sockaddr_un to = {AF_UNIX, {0}};
  struct sockaddr_un self = {AF_UNIX, {0}};
  char message[32];
  int length = snprintf(message, sizeof message, "%s %d", what, (int)getpid());
  if (snprintf(to.sun_path, sizeof to.sun_path, "%s.sock", entry) >= (int)sizeof to.sun_path) return;
  ino_t inode = InodeOf(to.sun_path);
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return;
  /* An address of its own (autobind), for the answer to come back to. */
  if (inode != 0 && bind(sock, (struct sockaddr*)&self, sizeof(sa_family_t)) == 0 &&
      sendto(sock, message, (size_t)length, 0, (struct sockaddr*)&to, sizeof to) == length) {
    AwaitAnswer(sock, pid, to.sun_path, inode);
  }
  RealClose()(sock);
  errno = saved;
}

static void ReportOpen(int fd) {
  char entry[288];
  int pid;
  if (fd >= 0 && EmulatorOf(fd, entry, sizeof entry, &pid)) Report(entry, pid, "open");
}

static int ReadHostBits(const char* entry) {
  char path[320], text[64];
  snprintf(path, sizeof path, "%s.out", entry);
  if (!ReadText(path, text, sizeof text)) return 0;
  return (FlagIn(text, "dtr=") ? TIOCM_DTR : 0) | (FlagIn(text, "rts=") ? TIOCM_RTS : 0);
}

static void WriteHostBits(const char* entry, int bits) {
  char path[320], temporary[340], text[32];
  snprintf(path, sizeof path, "%s.out", entry);
  snprintf(temporary, sizeof temporary, "%s.%d", path, (int)getpid());
  int length = snprintf(text, sizeof text, "dtr=%d rts=%d\n", !!(bits & TIOCM_DTR), !!(bits & TIOCM_RTS));
  int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t written = write(fd, text, (size_t)length);
  RealClose()(fd);
  if (written == length) rename(temporary, path);
  else unlink(temporary);
}

/* 1 when the request was answered here (result in *result). */
static int AnswerModemRequest(int fd, unsigned long request, int* bits, int* result) {
  char entry[288];
  struct LineState state;
  if (!IsModemRequest(request) || !EntryPathFor(fd, entry, sizeof entry)) return 0;
  if (!ReadLineState(entry, &state)) return 0;
  if (bits == NULL) {
    errno = EFAULT;
    *result = -1;
    return 1;
  }
  int host = ReadHostBits(entry);
  if (request == TIOCMGET) {
    *bits = host | (state.cts ? TIOCM_CTS : 0) | (state.dsr ? TIOCM_DSR : 0) |
            (state.dcd ? TIOCM_CAR : 0) | (state.ri ? TIOCM_RNG : 0);
  } else if (request == TIOCMSET) {
    WriteHostBits(entry, *bits);
  } else if (request == TIOCMBIS) {
    WriteHostBits(entry, host | *bits);
  } else {
    WriteHostBits(entry, host & ~*bits);
  }
  *result = 0;
  return 1;
}

/* 1 when TIOCOUTQ was answered here from $VFD_OUTPUT_QUEUED. */
static int AnswerQueueRequest(int fd, unsigned long request, int* count, int* result) {
  char entry[288];
  const char* queued = getenv("VFD_OUTPUT_QUEUED");
  if (request != TIOCOUTQ || queued == NULL || count == NULL || !EntryPathFor(fd, entry, sizeof entry)) return 0;
  *count = atoi(queued);
  *result = 0;
  return 1;
}

static IoctlFunction Resolve(const char* name, const char* fallback) {
  IoctlFunction next = (IoctlFunction)dlsym(RTLD_NEXT, name);
  return next != NULL ? next : (IoctlFunction)dlsym(RTLD_NEXT, fallback);
}

static int Dispatch(IoctlFunction* next, const char* name, int fd, unsigned long request, void* arg) {
  int saved = errno;
  int result;
  if (AnswerModemRequest(fd, request, (int*)arg, &result) || AnswerQueueRequest(fd, request, (int*)arg, &result)) {
    if (result == 0) errno = saved;
    return result;
  }
  errno = saved;
  if (*next == NULL) *next = Resolve(name, "ioctl");
  if (*next == NULL) {
    errno = ENOSYS;
    return -1;
  }
  return (*next)(fd, request, arg);
}

/* ioctl's third argument is always one pointer-sized word in practice. */
int ioctl(int fd, unsigned long request, ...) {
  static IoctlFunction next;
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return Dispatch(&next, "ioctl", fd, request, arg);
}

/* A libc without a 64-bit time entry has only ioctl to forward to. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static IoctlFunction next;
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  return Dispatch(&next, "__ioctl_time64", fd, request, arg);
}

/* ---- opens and closes ------------------------------------------------------
 * Every entry through which a program or libc opens a file by name, so that
 * no program's open of the port goes unreported. */

static int ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

#define VFD_OPEN(name)                                                   \
  int name(const char* path, int flags, ...) {                           \
    static OpenFunction next;                                            \
    va_list args;                                                        \
    va_start(args, flags);                                               \
    int mode = ModeArgument(flags, args);                                \
    va_end(args);                                                        \
    if (next == NULL) next = (OpenFunction)dlsym(RTLD_NEXT, #name);      \
    int fd = next(path, flags, mode);                                    \
    ReportOpen(fd);                                                      \
    return fd;                                                           \
  }

#define VFD_OPENAT(name)                                                 \
  int name(int dir, const char* path, int flags, ...) {                  \
    static OpenAtFunction next;                                          \
    va_list args;                                                        \
    va_start(args, flags);                                               \
    int mode = ModeArgument(flags, args);                                \
    va_end(args);                                                        \
    if (next == NULL) next = (OpenAtFunction)dlsym(RTLD_NEXT, #name);    \
    int fd = next(dir, path, flags, mode);                               \
    ReportOpen(fd);                                                      \
    return fd;                                                           \
  }

/* The fortified entries (_FORTIFY_SOURCE) take no mode. */
#define VFD_OPEN_2(name)                                                 \
  int name(const char* path, int flags) {                                \
    static OpenFunction next;                                            \
    if (next == NULL) next = (OpenFunction)dlsym(RTLD_NEXT, #name);      \
    int fd = next(path, flags);                                          \
    ReportOpen(fd);                                                      \
    return fd;                                                           \
  }

#define VFD_OPENAT_2(name)                                               \
  int name(int dir, const char* path, int flags) {                       \
    static OpenAtFunction next;                                          \
    if (next == NULL) next = (OpenAtFunction)dlsym(RTLD_NEXT, #name);    \
    int fd = next(dir, path, flags);                                     \
    ReportOpen(fd);                                                      \
    return fd;                                                           \
  }

int open64(const char* path, int flags, ...);
int openat64(int dir, const char* path, int flags, ...);
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dir, const char* path, int flags);
int __openat64_2(int dir, const char* path, int flags);

VFD_OPEN(open)
VFD_OPEN(open64)
VFD_OPENAT(openat)
VFD_OPENAT(openat64)
VFD_OPEN_2(__open_2)
VFD_OPEN_2(__open64_2)
VFD_OPENAT_2(__openat_2)
VFD_OPENAT_2(__openat64_2)

/* The entry is found before the descriptor goes; the report follows the
 * real close, when the kernel has let go of the port. */
int close(int fd) {
  char entry[288];
  int pid;
  int emulated = EmulatorOf(fd, entry, sizeof entry, &pid);
  int result = RealClose()(fd);
  if (emulated && result == 0) Report(entry, pid, "close");
  return result;
}

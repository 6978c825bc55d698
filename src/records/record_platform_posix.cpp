// The records' platform on POSIX systems: the state directory and its
// files. What a port's name leads to is port_identity_posix.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "records/record_platform.h"
#include "text/utf_convert.h"

namespace {

const mode_t FileMode = 0644;
const mode_t DirectoryMode = 0755;
// The state directory as the package makes it: the group that may open
// serial ports may keep state, and new files take that group.
const mode_t StateDirectoryMode = 02775;
const char StateGroup[] = "dialout";

std::string Joined(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string ErrorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// ---- the state directory, one level at a time ----------------------------------
//
// Every level is opened through its parent's descriptor without following a
// link, and a level this run makes is fixed through its own descriptor: a
// neighbour who may write a parent and swaps a name for a link never gets
// the program to change, make or write anything elsewhere.

// O_PATH: a level needs search permission only, as in any path's walk.
const int LevelFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
const int LinkLimit = 40;  // as the kernel's own

int Closed(int fd, int result) {
  int saved = errno;
  close(fd);
  errno = saved;
  return result;
}

bool TrustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

// "name (uid N)", or "uid N" for an account the user database does not know.
std::string AccountText(uid_t account) {
  passwd entry {};
  passwd* found = nullptr;
  char names[4096];
  std::string number = "uid " + std::to_string(account);
  bool known = getpwuid_r(account, &entry, names, sizeof names, &found) == 0 && found != nullptr;
  return known ? std::string(found->pw_name) + " (" + number + ")" : number;
}

// A link is the layout of whoever may change the directory holding it: it
// is followed where only root or this user may (in a sticky directory: the
// directory's owner and the link's).
bool LinkTrusted(int dir, const struct stat& link) {
  struct stat info {};
  if (fstat(dir, &info) != 0 || !TrustedOwner(info.st_uid)) return false;
  bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !othersWrite || ((info.st_mode & S_ISVTX) != 0 && TrustedOwner(link.st_uid));
}

// The modes are set, not left to the umask. The state directory is made as
// the package makes it where the group exists and the program may give it
// the directory (root, or a member); else it stays its owner's: still a
// state directory. The group before the mode: chown clears the set-group-ID bit.
void SetLevelModes(int fd, bool isStateDir) {
  fchmod(fd, DirectoryMode);
  struct group* state = isStateDir ? getgrnam(StateGroup) : nullptr;
  if (state != nullptr && fchown(fd, static_cast<uid_t>(-1), state->gr_gid) == 0) fchmod(fd, StateDirectoryMode);
}

// A level this run has just made: opened again without following a link,
// and only if it is this user's, then fixed through its descriptor. A name
// swapped in between is refused (ELOOP), never changed.
int FixMadeLevel(int dir, const std::string& name, bool isStateDir) {
  int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  bool ours = fd >= 0 && fstat(fd, &info) == 0 && info.st_uid == geteuid();
  if (!ours) {
    if (fd >= 0) close(fd);
    errno = ELOOP;
    return -1;
  }
  SetLevelModes(fd, isStateDir);
  return fd;
}

int WalkLevels(int from, const std::string& path, bool create, int* links);

// A link on the way is walked as its target where it is trusted; its
// target's levels are never made.
int FollowTrustedLink(int dir, const std::string& name, int* links) {
  struct stat link {};
  if (fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  char target[PATH_MAX];
  ssize_t length = ++*links <= LinkLimit && LinkTrusted(dir, link) ? readlinkat(dir, name.c_str(), target, sizeof target) : -1;
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof target)) {
    errno = ELOOP;
    return -1;
  }
  std::string path(target, static_cast<size_t>(length));
  int from = openat(dir, path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return from < 0 ? -1 : WalkLevels(from, path, false, links);
}

// One level down. Another run making the same level at once is fine.
int OpenLevel(int dir, const std::string& name, bool create, bool isStateDir, int* links) {
  int fd = openat(dir, name.c_str(), LevelFlags);
  if (fd < 0 && errno == ENOENT && create) {
    if (mkdirat(dir, name.c_str(), DirectoryMode) == 0) return FixMadeLevel(dir, name, isStateDir);
    if (errno != EEXIST) return -1;
    fd = openat(dir, name.c_str(), LevelFlags);
  }
  if (fd >= 0 || errno != ENOTDIR) return fd;
  return FollowTrustedLink(dir, name, links);
}

// path's levels below from (which it closes); create: missing levels are
// made, the last as the state directory. -1 with errno: ENOENT or ENOTDIR
// (no such directory), ELOOP (a link or a swapped name others could have
// planted), or what the system said.
int WalkLevels(int from, const std::string& path, bool create, int* links) {
  std::vector<std::string> levels;
  for (size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find('/', start), path.size());
    if (end > start) levels.push_back(path.substr(start, end - start));
  }
  int fd = from;
  for (size_t i = 0; i < levels.size() && fd >= 0; ++i)
    fd = Closed(fd, OpenLevel(fd, levels[i], create, i + 1 == levels.size(), links));
  return fd;
}

// The state directory's descriptor: from / (or the working directory) down,
// never by path after that first step.
int OpenStateDirectory(const std::string& dir, bool create, std::string* reason) {
  int links = 0;
  int start = open(!dir.empty() && dir[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  int fd = start < 0 ? -1 : WalkLevels(start, dir, create, &links);
  if (fd >= 0) return fd;
  int saved = errno;
  if (saved == ELOOP) *reason = dir + " is reached through a symbolic link or a swapped name that others could have planted";
  else *reason = ErrorText(create ? "cannot create" : "cannot open", dir);
  errno = saved;
  return -1;
}

// Synced through a descriptor opened from dirFd itself: the same directory.
bool SyncDirectory(int dirFd, const std::string& dir, std::string* reason) {
  int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool synced = fd >= 0 && fsync(fd) == 0;
  if (!synced) *reason = ErrorText("cannot sync", dir);
  return fd < 0 ? synced : Closed(fd, synced);
}

// A fresh name no one can have planted: created here, exclusively, never
// through a link.
int CreateTemporary(int dirFd, const std::string& name, std::string* temporary) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(getpid()), random());
    *temporary = "." + name + suffix;
    int fd = openat(dirFd, temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string DefaultStateDir() { return "/var/lib/vfdstartup"; }

namespace {

FileRead ReadFrom(int dirFd, const std::string& path, const std::string& name, size_t limit, std::string* text,
                  std::string* reason) {
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return FILE_ABSENT;
  if (fd < 0) {
    bool link = errno == ELOOP;
    *reason = link ? path + " is a symbolic link, not a state file" : ErrorText("cannot read", path);
    return link ? FILE_NOT_REGULAR : FILE_UNREADABLE;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    *reason = path + " is not a regular file";
    return FILE_NOT_REGULAR;
  }
  // The state directory is the dialout group's to write: a file of any
  // other account is a claim by whoever wrote it, which proves nothing.
  if (!TrustedOwner(info.st_uid)) {
    close(fd);
    *reason = path + " belongs to " + AccountText(info.st_uid) + ", neither root nor this user, and counts for nothing";
    return FILE_NOT_TRUSTED;
  }
  text->clear();
  char buffer[1024];
  ssize_t n = 0;
  while (text->size() <= limit && (n = read(fd, buffer, sizeof buffer)) > 0) text->append(buffer, static_cast<size_t>(n));
  close(fd);
  if (n >= 0 && text->size() <= limit) return FILE_READ;
  *reason = n < 0 ? ErrorText("cannot read", path) : path + " is too large for a state file";
  return FILE_UNREADABLE;
}

// Written under a fresh name, synced, renamed over name and the directory
// synced, all through the directory's one descriptor: the directory cannot
// be swapped in between.
bool ReplaceIn(int dirFd, const std::string& dir, const std::string& name, const std::string& text,
               std::string* reason) {
  std::string temporary;
  int fd = CreateTemporary(dirFd, name, &temporary);
  if (fd < 0) {
    *reason = ErrorText("cannot create a file in", dir);
    return false;
  }
  // The mode is set, not left to the umask: every account may read the state.
  bool written = fchmod(fd, FileMode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written) *reason = ErrorText("cannot write", Joined(dir, temporary));
  if (written && renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) {
    written = false;
    *reason = ErrorText("cannot replace", Joined(dir, name));
  }
  if (!written) unlinkat(dirFd, temporary.c_str(), 0);
  return written && SyncDirectory(dirFd, dir, reason);
}

bool Absent(int dirFd, const std::string& name) {
  struct stat info {};
  return fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// Whether this process may act for any file's owner (CAP_FOWNER).
bool MayActForAnyOwner() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_FOWNER)) != 0;
}

// unlink's own rules: write and search permission on the directory, no
// directory at the name, and in a sticky directory only the file's owner,
// the directory's or a process that may act for any owner.
bool Unlinkable(int dirFd, const std::string& name) {
  struct stat file {}, folder {};
  if (fstatat(dirFd, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  errno = S_ISDIR(file.st_mode) ? EISDIR : 0;
  if (errno != 0 || faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0 || fstat(dirFd, &folder) != 0) return false;
  bool sticky = (folder.st_mode & S_ISVTX) != 0;
  if (!sticky || file.st_uid == geteuid() || folder.st_uid == geteuid() || MayActForAnyOwner()) return true;
  errno = EPERM;
  return false;
}

}  // namespace

FileRead ReadSmallFile(const std::string& dir, const std::string& name, size_t limit, std::string* text,
                       std::string* reason) {
  int dirFd = OpenStateDirectory(dir, false, reason);
  if (dirFd < 0) return errno == ENOENT ? FILE_ABSENT : FILE_UNREADABLE;
  return static_cast<FileRead>(Closed(dirFd, ReadFrom(dirFd, Joined(dir, name), name, limit, text, reason)));
}

bool ReplaceFileSynced(const std::string& dir, const std::string& name, const std::string& text,
                       std::string* reason) {
  int dirFd = OpenStateDirectory(dir, true, reason);
  return dirFd >= 0 && Closed(dirFd, ReplaceIn(dirFd, dir, name, text, reason));
}

// A directory that is not there holds no state; nor does a read-only one
// that does not hold this name (its unlink fails with EROFS all the same).
bool FileRemovable(const std::string& dir, const std::string& name, std::string* reason) {
  int dirFd = OpenStateDirectory(dir, false, reason);
  if (dirFd < 0) return errno == ENOENT || errno == ENOTDIR;
  bool removable = Unlinkable(dirFd, name);
  if (!removable) *reason = ErrorText("cannot remove", Joined(dir, name));
  return Closed(dirFd, removable);
}

bool StateDirTrusted(const std::string&, std::string*) { return true; }

// Write access is not enough in a sticky directory: there only the file's
// owner, the directory's or root may remove it.
std::string StateDirHint(const std::string& dir) {
  struct stat folder {};
  if (stat(dir.c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 &&
      faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
    return dir + " has the sticky bit: only the file's owner, the directory's owner or root may remove the file";
  return "the user needs write access to " + dir + " (the package makes it root:" + StateGroup +
         " 2775: add the user to the " + StateGroup + " group), or root removes the file";
}

bool RemoveFileSynced(const std::string& dir, const std::string& name, std::string* reason) {
  int dirFd = OpenStateDirectory(dir, false, reason);
  if (dirFd < 0) return errno == ENOENT || errno == ENOTDIR;  // nothing can be kept there
  if (unlinkat(dirFd, name.c_str(), 0) == 0) return Closed(dirFd, SyncDirectory(dirFd, dir, reason));
  int failure = errno;
  bool absent = failure == ENOENT || Absent(dirFd, name);
  errno = failure;
  if (!absent) *reason = ErrorText("cannot remove", Joined(dir, name));
  return Closed(dirFd, absent);
}

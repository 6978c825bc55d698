// The jobs' platform facts on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "job/job_platform.h"
#include "text/utf_convert.h"

namespace {

const char DevRootVariable[] = "VFDSTARTUP_DEV_ROOT";
// Where the boot's identity is read; the tests name another file.
const char BootIdVariable[] = "VFDSTARTUP_BOOT_ID";
const char BootIdFile[] = "/proc/sys/kernel/random/boot_id";
const char DevPrefix[] = "/dev/";
const mode_t FileMode = 0644;
const mode_t DirectoryMode = 0755;
// The state directory as the package makes it: the group that may open
// serial ports may keep state, and new files take that group.
const mode_t StateDirectoryMode = 02775;
const char StateGroup[] = "dialout";

std::string DevRoot() {
  const char* root = getenv(DevRootVariable);
  return root != nullptr && *root != '\0' ? root : "/dev";
}

std::string ErrorText(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string CanonicalPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string canonical = resolved != nullptr ? resolved : path;
  free(resolved);
  return canonical;
}

// The /dev/serial/by-id name of a device: it carries a USB adapter's serial
// number, so it stays the same when the adapter comes back as another
// ttyUSB number, and differs between two adapters.
std::string ByIdNameOf(dev_t device) {
  std::string dir = DevRoot() + "/serial/by-id";
  std::vector<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct stat info {};
    if (stat((dir + "/" + name).c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device)
      return "by-id/" + name;
  }
  return "";
}

// The kernel makes a fresh boot id at every boot; without one, every
// attachment is new (one write too many, never one too few).
std::string BootId() {
  const char* named = getenv(BootIdVariable);
  FILE* file = std::fopen(named != nullptr && *named != '\0' ? named : BootIdFile, "re");
  char id[64] = {};
  bool read = file != nullptr && std::fgets(id, sizeof id, file) != nullptr;
  if (file != nullptr) std::fclose(file);
  std::string boot = read ? id : "";
  while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
  return boot;
}

// devtmpfs makes a device's node anew when the device comes (a USB adapter
// plugged in), devpts when a pty is made, so the node's inode and the time
// it was made (its change time) tell this attachment from the one before,
// even where the kernel hands out the same name and device number again.
// A change of the node's mode or owner changes it too: one write more.
std::string AttachmentOf(const struct stat& node) {
  std::string boot = BootId();
  if (boot.empty()) return "";
  char text[200];
  std::snprintf(text, sizeof text, " device %u:%u node %llu:%llu changed %lld.%09ld", major(node.st_rdev),
                minor(node.st_rdev), static_cast<unsigned long long>(node.st_dev),
                static_cast<unsigned long long>(node.st_ino), static_cast<long long>(node.st_ctim.tv_sec),
                static_cast<long>(node.st_ctim.tv_nsec));
  return "boot " + boot + text;
}

std::string MissingAttachment() {
  std::string boot = BootId();
  return boot.empty() ? "" : "boot " + boot + " no node";
}

std::string WithoutDevPrefix(const std::string& path) {
  size_t length = sizeof DevPrefix - 1;
  return path.compare(0, length, DevPrefix) == 0 ? path.substr(length) : path;
}

std::string Joined(const std::string& dir, const std::string& name) { return dir + "/" + name; }

// The group's members may keep state where the group exists and the
// program may give it the directory (root, or a member).
void GiveToStateGroup(const std::string& dir) {
  struct group* state = getgrnam(StateGroup);
  if (state == nullptr || chown(dir.c_str(), static_cast<uid_t>(-1), state->gr_gid) != 0) return;
  chmod(dir.c_str(), StateDirectoryMode);
}

// Parents with the usual rights, the state directory as the package makes
// it. Modes are set, not left to the umask; a failure to set them leaves
// the directory its owner's: still a state directory.
bool EnsureDirectory(const std::string& dir, bool isStateDir, std::string* reason) {
  struct stat info {};
  if (stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    *reason = dir + " is not a directory";
    return false;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !EnsureDirectory(dir.substr(0, slash), false, reason)) return false;
  if (mkdir(dir.c_str(), DirectoryMode) == 0) {
    chmod(dir.c_str(), DirectoryMode);
    if (isStateDir) GiveToStateGroup(dir);
    return true;
  }
  if (errno == EEXIST) return true;
  *reason = ErrorText("cannot create", dir);
  return false;
}

bool SyncDirectory(const std::string& dir, std::string* reason) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool synced = fd >= 0 && fsync(fd) == 0;
  if (!synced) *reason = ErrorText("cannot sync", dir);
  if (fd >= 0) close(fd);
  return synced;
}

// A fresh name no one can have planted: created here, exclusively, never
// through a link.
int CreateTemporary(const std::string& dir, const std::string& name, std::string* path) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(getpid()), random());
    *path = Joined(dir, "." + name + suffix);
    int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FileMode);
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

std::string ThisProgramName() {
  FILE* file = std::fopen("/proc/self/comm", "re");
  char name[64] = {};
  bool read = file != nullptr && std::fgets(name, sizeof name, file) != nullptr;
  if (file != nullptr) std::fclose(file);
  std::string program = read ? name : "";
  if (!program.empty() && program.back() == '\n') program.pop_back();
  return program;
}

std::string BusyPortHint() { return "another program has it open"; }

std::string AccessHint(const std::string& group) {
  return group.empty() ? "the user may not open it" : "add the user to the " + group + " group";
}

PortIdentity IdentifyPort(const std::u16string& name) {
  PortIdentity identity;
  identity.name = name;
  std::string path = BytesFromUtf16(name);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    identity.device = "missing " + path;
    identity.stateKey = path;
    // Nothing can be opened there; a node that comes later is another attachment.
    identity.attachment = MissingAttachment();
    return identity;
  }
  std::string canonical = CanonicalPath(path);
  identity.attachment = AttachmentOf(info);
  if (!S_ISCHR(info.st_mode)) {
    identity.device = "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    identity.stateKey = canonical;
    return identity;
  }
  identity.device = "char " + std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
  std::string byId = ByIdNameOf(info.st_rdev);
  identity.stateKey = !byId.empty() ? byId : WithoutDevPrefix(canonical);
  return identity;
}

FileRead ReadSmallFile(const std::string& dir, const std::string& name, size_t limit, std::string* text,
                       std::string* reason) {
  std::string path = Joined(dir, name);
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
  text->clear();
  char buffer[1024];
  ssize_t n = 0;
  while (text->size() <= limit && (n = read(fd, buffer, sizeof buffer)) > 0) text->append(buffer, static_cast<size_t>(n));
  close(fd);
  if (n >= 0 && text->size() <= limit) return FILE_READ;
  *reason = n < 0 ? ErrorText("cannot read", path) : path + " is too large for a state file";
  return FILE_UNREADABLE;
}

bool ReplaceFileSynced(const std::string& dir, const std::string& name, const std::string& text,
                       std::string* reason) {
  if (!EnsureDirectory(dir, true, reason)) return false;
  std::string temporary;
  int fd = CreateTemporary(dir, name, &temporary);
  if (fd < 0) {
    *reason = ErrorText("cannot create a file in", dir);
    return false;
  }
  // The mode is set, not left to the umask: every account may read the state.
  bool written = fchmod(fd, FileMode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written) *reason = ErrorText("cannot write", temporary);
  if (written && rename(temporary.c_str(), Joined(dir, name).c_str()) != 0) {
    written = false;
    *reason = ErrorText("cannot replace", Joined(dir, name));
  }
  if (!written) unlink(temporary.c_str());
  return written && SyncDirectory(dir, reason);
}

bool FileRemovable(const std::string& dir, const std::string& name, std::string* reason) {
  std::string path = Joined(dir, name);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    *reason = ErrorText("cannot remove", path);
    return false;
  }
  // unlink needs write and search permission on the directory, and takes no directory.
  errno = S_ISDIR(info.st_mode) ? EISDIR : 0;
  if (errno == 0 && faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
  *reason = ErrorText("cannot remove", path);
  return false;
}

bool StateDirTrusted(const std::string&, std::string*) { return true; }

std::string StateDirHint(const std::string& dir) {
  return "the user needs write access to " + dir + " (the package makes it root:" + StateGroup +
         " 2775: add the user to the " + StateGroup + " group), or root removes the file";
}

bool RemoveFileSynced(const std::string& dir, const std::string& name, std::string* reason) {
  std::string path = Joined(dir, name);
  if (unlink(path.c_str()) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // nothing can be kept there
    *reason = ErrorText("cannot remove", path);
    return false;
  }
  return SyncDirectory(dir, reason);
}

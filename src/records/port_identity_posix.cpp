// What a port's name leads to on POSIX systems (port_identity.h): the device,
// the name its state is kept under, and this attachment of it.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "records/port_identity.h"
#include "text/utf_convert.h"

namespace {

const char DevRootVariable[] = "VFDSTARTUP_DEV_ROOT";
// Where the boot's identity is read; the tests name another file.
const char BootIdVariable[] = "VFDSTARTUP_BOOT_ID";
const char BootIdFile[] = "/proc/sys/kernel/random/boot_id";
const char DevPrefix[] = "/dev/";

std::string DevRoot() {
  const char* root = getenv(DevRootVariable);
  return root != nullptr && *root != '\0' ? root : "/dev";
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

}  // namespace

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

// The kept state: one file per device, named so that no two keys share one
// and Windows never takes one for a device; written whole or not at all,
// never through a link; anything odd at its place is no state.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <vector>

#include "records/last_run.h"
#include "records/port_identity.h"
#include "records/record_platform.h"
#include "records/state_store.h"
#include "process_posix.h"
#include "text/utf_convert.h"
#include "unit_sandbox_posix.h"

namespace {

namespace fs = std::filesystem;

// The state files' system calls, as the product makes them: this program
// defines open, openat, fsync, rename, renameat, unlink and unlinkat (and,
// for the neighbour below, mkdir, mkdirat, chmod and chown), so the
// product's calls (linked in) reach these first and go on to the C library's.
struct FileCall {
  std::string call;
  std::string path;
  int flags;
  int at;  // the directory's descriptor a call went through, or the descriptor synced
};
std::vector<FileCall> Calls;
std::string RecordedRoot;  // empty: nothing recorded

std::string PathOfDescriptor(int fd) {
  std::error_code unknown;
  return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), unknown).string();
}

// A neighbour who may write dir: once name is there, it lets `steps` more of
// the program's calls pass, then swaps name, in one step, for a link to
// target (or for target itself, a directory of its own). Deterministic: each
// run of the program meets it at one step.
struct Neighbour {
  std::string dir, name, target;
  int steps = -1;  // -1: no neighbour
  bool swapped = false;
  bool ownDirectory = false;
} NextDoor;

void NeighbourMoves() {
  Neighbour& n = NextDoor;
  struct stat made {};
  std::string name = n.dir + "/" + n.name, lure = n.dir + "/lure";
  if (n.steps < 0 || n.swapped || lstat(name.c_str(), &made) != 0 || n.steps-- > 0) return;
  std::string in = n.ownDirectory ? n.target : lure;
  n.swapped = (n.ownDirectory || symlink(n.target.c_str(), lure.c_str()) == 0) &&
              renameat2(AT_FDCWD, in.c_str(), AT_FDCWD, name.c_str(), RENAME_EXCHANGE) == 0;
}

void Record(const char* call, int at, const char* path, int flags = 0) {
  NeighbourMoves();
  if (RecordedRoot.empty()) return;
  std::string full = at == AT_FDCWD || path[0] == '/' ? path : PathOfDescriptor(at) + "/" + path;
  if (full.compare(0, RecordedRoot.size(), RecordedRoot) == 0) Calls.push_back({call, full, flags, at});
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list rest;
    va_start(rest, flags);
    mode = va_arg(rest, mode_t);
    va_end(rest);
  }
  Record("open", AT_FDCWD, path, flags);
  static auto real = Next<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

extern "C" int openat(int at, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list rest;
    va_start(rest, flags);
    mode = va_arg(rest, mode_t);
    va_end(rest);
  }
  Record("open", at, path, flags);
  static auto real = Next<int (*)(int, const char*, int, ...)>("openat");
  return real(at, path, flags, mode);
}

extern "C" int fsync(int fd) {
  NeighbourMoves();
  if (!RecordedRoot.empty()) Record("fsync", fd, PathOfDescriptor(fd).c_str());
  return Next<int (*)(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) {
  Record("rename", AT_FDCWD, from);
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int renameat(int fromAt, const char* from, int toAt, const char* to) {
  Record("rename", fromAt, from);
  return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromAt, from, toAt, to);
}

extern "C" int unlink(const char* path) {
  Record("unlink", AT_FDCWD, path);
  return Next<int (*)(const char*)>("unlink")(path);
}

extern "C" int unlinkat(int at, const char* path, int flags) {
  Record("unlink", at, path);
  return Next<int (*)(int, const char*, int)>("unlinkat")(at, path, flags);
}

extern "C" int mkdir(const char* path, mode_t mode) {
  NeighbourMoves();
  return Next<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

extern "C" int mkdirat(int at, const char* path, mode_t mode) {
  NeighbourMoves();
  return Next<int (*)(int, const char*, mode_t)>("mkdirat")(at, path, mode);
}

extern "C" int chmod(const char* path, mode_t mode) {
  NeighbourMoves();
  return Next<int (*)(const char*, mode_t)>("chmod")(path, mode);
}

extern "C" int chown(const char* path, uid_t owner, gid_t group) {
  NeighbourMoves();
  return Next<int (*)(const char*, uid_t, gid_t)>("chown")(path, owner, group);
}

namespace {

class StateStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vfd-state-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root = name;
    dir = root + "/state";
  }
  void TearDown() override { fs::remove_all(root); }
  PortState StateOf(const std::string& key, BYTE last) {
    PortState state;
    state.stateKey = key;
    state.port = "/dev/" + key;
    state.productType = "CU20029T307A01 ";
    for (DWORD i = 0; i < sizeof state.record.bytes; ++i) state.record.bytes[i] = static_cast<BYTE>(i);
    state.record.bytes[127] = last;
    return state;
  }
  std::string Text(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  }
  std::string root, dir;
};

TEST_F(StateStore, FileNamesAreOnePerKeyAndNeverAWindowsDevice) {
  const struct {
    std::string key;
    std::string file;
  } rows[] = {
      {"ttyS0", "vfd-ttyS0.state"},
      {"pts/7", "vfd-pts%2F7.state"},
      {"pts_7", "vfd-pts_7.state"},
      {"pts%2F7", "vfd-pts%252F7.state"},
      {"by-id/usb-FTDI_FT232R_A1-if00-port0", "vfd-by-id%2Fusb-FTDI_FT232R_A1-if00-port0.state"},
      {"COM3", "vfd-COM3.state"},
      {"tty\xFF", "vfd-tty%FF.state"},
  };
  std::string key;
  for (const auto& row : rows) {
    EXPECT_EQ(StateFileName(row.key), row.file);
    EXPECT_TRUE(KeyOfDeviceFileName(row.file, ".state", &key) && key == row.key) << row.file;
  }
  // No other spelling of a key's name is its device's file.
  for (const char* other : {"vfd-tty%53%30.state", "vfd-pts%2f7.state"})
    EXPECT_FALSE(KeyOfDeviceFileName(other, ".state", &key)) << other;
  // CON, PRN, AUX, NUL, COM0-9, LPT0-9, any case, any extension.
  const char* reserved[] = {"con", "PRN", "Aux", "NUL", "com0", "COM9", "lpt1", "LPT9"};
  for (const char* key : reserved) {
    for (const std::string& name : {StateFileName(key), StateFileName(std::string(key) + ".txt")}) {
      std::string base = name.substr(0, name.find('.'));
      for (const char* device : reserved) EXPECT_NE(strcasecmp(base.c_str(), device), 0) << name;
    }
  }
}

TEST_F(StateStore, KeptWholeWithItsOwnModes) {
  mode_t oldMask = umask(077);
  std::string reason;
  PortState written = StateOf("ttyS0", 0x7F);
  ASSERT_TRUE(WritePortState(dir, written, &reason)) << reason;
  umask(oldMask);
  struct stat info {};
  ASSERT_EQ(stat((dir + "/vfd-ttyS0.state").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u) << "left to the umask";
  // A directory the program makes is made as the package makes it.
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 02775u);
  group* dialout = getgrnam("dialout");
  if (dialout != nullptr && getuid() == 0) {
    EXPECT_EQ(info.st_gid, dialout->gr_gid);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "a temporary file stayed";

  PortState read;
  ASSERT_EQ(ReadPortState(dir, "ttyS0", &read, &reason), STATE_FOUND) << reason;
  EXPECT_EQ(read.port, "/dev/ttyS0");
  EXPECT_EQ(read.productType, "CU20029T307A01 ");
  EXPECT_EQ(std::vector<BYTE>(read.record.bytes, read.record.bytes + 128),
            std::vector<BYTE>(written.record.bytes, written.record.bytes + 128));
  EXPECT_EQ(ReadPortState(dir, "ttyS1", &read, &reason), STATE_NONE);

  ASSERT_TRUE(ForgetPortState(dir, "ttyS0", &reason));
  EXPECT_EQ(ReadPortState(dir, "ttyS0", &read, &reason), STATE_NONE);
  EXPECT_TRUE(ForgetPortState(dir, "ttyS0", &reason)) << "nothing to forget is no failure";
}

// A state is on disk before it replaces the old one, and its name is in the
// directory before the write is called done; a removal too. The temporary
// name is the program's own: made exclusively, never through a link. The
// temporary, the rename and the sync go through one descriptor of the
// directory, so the directory cannot be swapped in between.
TEST_F(StateStore, WrittenThroughAFreshSyncedFileAndASyncedDirectory) {
  std::string reason;
  ASSERT_TRUE(fs::create_directories(dir));
  RecordedRoot = dir;
  bool written = WritePortState(dir, StateOf("ttyS0", 4), &reason);
  bool forgotten = ForgetPortState(dir, "ttyS0", &reason);
  RecordedRoot.clear();
  ASSERT_TRUE(written && forgotten) << reason;
  std::vector<std::string> order;
  for (const FileCall& c : Calls) {
    bool isDir = c.path == dir || c.path == dir + "/.";
    std::string what = isDir ? "dir" : c.path == dir + "/vfd-ttyS0.state" ? "state" : "temporary";
    order.push_back(c.call + " " + what);
  }
  ASSERT_EQ(order, (std::vector<std::string>{"open dir", "open temporary", "fsync temporary", "rename temporary",
                                             "open dir", "fsync dir", "open dir", "unlink state", "open dir",
                                             "fsync dir"}));
  const int fresh = O_CREAT | O_EXCL | O_NOFOLLOW;
  EXPECT_EQ(Calls[1].flags & fresh, fresh) << "the temporary file is not made fresh";
  EXPECT_EQ(Calls[1].path.compare(0, dir.size() + 1, dir + "/"), 0);
  EXPECT_EQ(Calls[3].path, Calls[1].path) << "another file renamed";
  // The directory synced is opened from the descriptor the temporary was
  // made and renamed through.
  EXPECT_EQ(Calls[4].path, dir + "/.");
  EXPECT_NE(Calls[4].at, AT_FDCWD);
  EXPECT_EQ(Calls[1].at, Calls[4].at) << "the temporary made by path, not in the synced directory";
  EXPECT_EQ(Calls[3].at, Calls[4].at) << "renamed by path, not in the synced directory";
  EXPECT_EQ(Calls[7].at, Calls[8].at) << "removed by path, not in the synced directory";
}

// Every level the program makes has its mode set, not left to the umask:
// parents as any directory, the state directory as the package makes it.
TEST_F(StateStore, LevelsItMakesHaveTheirModesWhateverTheUmask) {
  mode_t oldMask = umask(077);
  std::string reason;
  bool written = WritePortState(root + "/a/b/state", StateOf("ttyS0", 1), &reason);
  umask(oldMask);
  ASSERT_TRUE(written) << reason;
  const struct {
    const char* level;
    mode_t mode;
  } rows[] = {{"/a", 0755}, {"/a/b", 0755}, {"/a/b/state", 02775}};
  for (const auto& row : rows) {
    struct stat info {};
    ASSERT_EQ(stat((root + row.level).c_str(), &info), 0) << row.level;
    EXPECT_EQ(info.st_mode & 07777, row.mode) << row.level;
  }
}

// A neighbour who may write the directory a level is made in swaps the new
// name for a link to a directory of root's (planted before the run, or
// after each of the program's calls in turn once the name is made), or for
// a directory of its own. Nothing there is ever changed or written.
TEST_F(StateStore, NeverMakesOrFixesALevelThroughASwappedName) {
  std::string shared = root + "/shared", victim = root + "/victim";
  ASSERT_EQ(mkdir(shared.c_str(), 0777) | chmod(shared.c_str(), 0777), 0);
  const std::string stateDirs[] = {shared + "/state", shared + "/state/inner"};  // the state directory, a parent
  int changed = 0, tries = 0;
  for (bool own : {false, true})
    for (const std::string& stateDir : stateDirs)
      for (int steps = own ? 0 : -1; steps < 12; ++steps, ++tries) {
        SCOPED_TRACE(stateDir + ", steps " + std::to_string(steps) + (own ? ", the neighbour's own directory" : ""));
        ASSERT_EQ(mkdir(victim.c_str(), 0700) | (own ? chown(victim.c_str(), Stranger(), Stranger()) : 0), 0);
        struct stat before {}, after {};
        ASSERT_EQ(stat(victim.c_str(), &before), 0);
        if (steps < 0) {
          ASSERT_EQ(symlink(victim.c_str(), (shared + "/state").c_str()), 0);
        }
        NextDoor = {shared, "state", victim, steps, false, own};
        std::string reason;
        WritePortState(stateDir, StateOf("ttyS0", 1), &reason);
        NextDoor.steps = -1;
        EXPECT_TRUE(steps < 0 || steps > 2 || NextDoor.swapped) << "the neighbour never moved";
        std::string theirs = own && NextDoor.swapped ? shared + "/state" : victim;
        ASSERT_EQ(stat(theirs.c_str(), &after), 0);
        bool touched = after.st_mode != before.st_mode || after.st_gid != before.st_gid || !fs::is_empty(theirs);
        EXPECT_FALSE(touched) << "a directory elsewhere changed or written";
        changed += touched;
        fs::remove_all(victim);
        for (const auto& entry : fs::directory_iterator(shared)) fs::remove_all(entry.path());
      }
  EXPECT_EQ(changed, 0) << "of " << tries << " tries";
}

// A link on the way is followed where no one but root or the user running
// may have planted it: the administrator's layout, for root and for an
// ordinary user alike. Elsewhere the run keeps no state; a target that is
// not there is never made, and a loop of links ends.
TEST_F(StateStore, ALinkOnTheWayIsFollowedWhereOnlyTrustedAccountsMayPlantIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a link another owner";
  ASSERT_EQ(chmod(root.c_str(), 0711), 0);  // searched by the other account too
  std::string holder = root + "/holder", target = root + "/target";
  const uid_t other = Stranger();
  const struct {
    mode_t mode;
    uid_t dirOwner, linkOwner;
    const char* to;           // the link's target under root
    bool byRoot, byOther;     // followed by root, by the other account
  } rows[] = {
      {0755, 0, 0, "target", true, true},           {0775, 0, 0, "target", false, false},
      {0777, 0, 0, "target", false, false},         {01777, 0, 0, "target", true, true},
      {01777, 0, other, "target", false, true},     {0755, other, 0, "target", false, true},
      {0755, 0, 0, "target/absent", false, false},  {0755, 0, 0, "holder/loop", false, false},
  };
  for (const auto& row : rows) {
    char what[96];
    std::snprintf(what, sizeof what, "a directory of mode %04o of %u, a link of %u to %s", row.mode, row.dirOwner,
                  row.linkOwner, row.to);
    SCOPED_TRACE(what);
    std::string link = holder + "/state", to = root + "/" + row.to;
    ASSERT_TRUE(fs::create_directories(holder) && fs::create_directories(target));
    ASSERT_EQ(symlink(to.c_str(), link.c_str()) | symlink(link.c_str(), (holder + "/loop").c_str()) |
                  chmod(target.c_str(), 0777) | chown(holder.c_str(), row.dirOwner, 0) |
                  chmod(holder.c_str(), row.mode) | lchown(link.c_str(), row.linkOwner, 0),
              0);
    auto follows = [&](bool followed) {
      std::string reason;
      bool written = WritePortState(link, StateOf("ttyS0", 1), &reason);
      bool loopSaid = to != holder + "/loop" || reason.find("reached through a symbolic link") != std::string::npos;
      return written == followed && (access((to + "/vfd-ttyS0.state").c_str(), F_OK) == 0) == followed &&
             access((target + "/absent").c_str(), F_OK) != 0 && loopSaid;
    };
    EXPECT_TRUE(InAChild([&] { return follows(row.byRoot); })) << "root";
    fs::remove(target + "/vfd-ttyS0.state");
    EXPECT_TRUE(InAChild([&] { return setgid(other) == 0 && setuid(other) == 0 && follows(row.byOther); }))
        << "another account";
    fs::remove_all(holder);
    fs::remove_all(target);
  }
}

// A read-only bind mount of dir, in a mount namespace of this process's own.
bool ReadOnlyInOwnNamespace(const std::string& dir) {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// --check asks what the real run will meet: for each directory both find
// the state removable, or neither does, for another account, for root on a
// read-only file system and for root in the units' sandbox (CAP_FOWNER, no
// CAP_DAC_OVERRIDE). A state that is not there needs no removal; a
// read-only directory keeps no new state either. Where a sticky directory
// is what stops the removal, the hint says so, not "write access".
TEST_F(StateStore, AskingAndRemovingAgree) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another account and to mount";
  ASSERT_EQ(chmod(root.c_str(), 0711), 0);  // searched, not read, as in any path's walk
  const uid_t other = Stranger();
  enum Runner { ANOTHER_ACCOUNT, ROOT_ON_A_READ_ONLY_MOUNT, ROOT_IN_THE_UNITS };
  const struct {
    const char* what;
    mode_t mode;
    uid_t dirOwner, fileOwner;
    bool state;
    Runner runner;
    bool removable;
  } rows[] = {
      {"root's state in a sticky directory", 01777, 0, 0, true, ANOTHER_ACCOUNT, false},
      {"its own state in a sticky directory", 01777, 0, other, true, ANOTHER_ACCOUNT, true},
      {"root's state in a sticky directory of its own", 01777, other, 0, true, ANOTHER_ACCOUNT, true},
      {"root's state in a directory open to all", 0777, 0, 0, true, ANOTHER_ACCOUNT, true},
      {"root's state in a directory it may not change", 0755, 0, 0, true, ANOTHER_ACCOUNT, false},
      {"no state in a directory it may not change", 0755, 0, 0, false, ANOTHER_ACCOUNT, true},
      {"no state on a read-only file system", 0755, 0, 0, false, ROOT_ON_A_READ_ONLY_MOUNT, true},
      {"a state on a read-only file system", 0755, 0, 0, true, ROOT_ON_A_READ_ONLY_MOUNT, false},
      {"another account's state in a sticky directory, root in the units", 01777, 0, other, true, ROOT_IN_THE_UNITS,
       true},
      {"root's state in another account's directory, root in the units", 0755, other, 0, true, ROOT_IN_THE_UNITS,
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::string reason, state = dir + "/vfd-ttyS0.state";
    ASSERT_TRUE(fs::create_directories(dir));
    bool planted = !row.state || (WritePortState(dir, StateOf("ttyS0", 1), &reason) &&
                                  chown(state.c_str(), row.fileOwner, 0) == 0);
    ASSERT_TRUE(planted) << reason;
    ASSERT_EQ(chmod(dir.c_str(), row.mode) | chown(dir.c_str(), row.dirOwner, 0), 0);
    bool readOnly = row.runner == ROOT_ON_A_READ_ONLY_MOUNT;
    auto ready = [&] {
      if (row.runner == ROOT_IN_THE_UNITS) return TheUnitSandbox().problem.empty() && EnterUnitSandbox(TheUnitSandbox());
      return readOnly ? ReadOnlyInOwnNamespace(dir) : setgid(other) == 0 && setuid(other) == 0;
    };
    EXPECT_TRUE(InAChild([&] { return ready() && CanForgetPortState(dir, "ttyS0", &reason) == row.removable; }))
        << "--check";
    EXPECT_TRUE(InAChild([&] {
      auto stickyHint = [&] { return StateDirHint(dir).find(" has the sticky bit: only the file's") != std::string::npos; };
      return ready() && ForgetPortState(dir, "ttyS0", &reason) == row.removable &&
             (!readOnly || !WritePortState(dir, StateOf("ttyS0", 2), &reason)) &&
             (row.removable || stickyHint() == ((row.mode & S_ISVTX) != 0));
    })) << "the real run";
    fs::remove_all(dir);
  }
}

// Nothing at a state's place but a whole state of that device counts, and
// nothing there is ever waited on or followed.
TEST_F(StateStore, AnythingButAWholeStateOfTheDeviceIsDamaged) {
  std::string reason;
  ASSERT_TRUE(WritePortState(dir, StateOf("ttyS0", 1), &reason));
  std::string good = Text(dir + "/vfd-ttyS0.state");
  std::string path = dir + "/vfd-ttyS1.state";
  ASSERT_TRUE(WritePortState(dir, StateOf("ttyS1", 1), &reason));
  std::string own = Text(path), untilTime = own.substr(0, own.find("written_at="));
  const struct {
    const char* what;
    std::function<void()> plant;
  } rows[] = {
      {"cut short", [&] { std::ofstream(path) << own.substr(0, own.size() - 20); }},
      {"record one digit short",
       [&] {
         std::string cut = own;
         std::ofstream(path) << cut.erase(cut.find("\nattachment=") - 1, 1);
       }},
      {"unknown key", [&] { std::ofstream(path) << own << "extra=1\n"; }},
      {"another device's state", [&] { fs::copy_file(dir + "/vfd-ttyS0.state", path); }},
      {"another device's state with this device's name once more", [&] { std::ofstream(path) << good << "device=ttyS1\n"; }},
      {"a time with a leading zero", [&] { std::ofstream(path) << untilTime << "written_at=0123\ncommand=\n"; }},
      {"a time past 2^63 - 1",
       [&] { std::ofstream(path) << untilTime << "written_at=9999999999999999999\ncommand=\n"; }},
      {"a FIFO", [&] { mkfifo(path.c_str(), 0644); }},
      {"a directory", [&] { fs::create_directory(path); }},
      {"a link to a whole state of this device",
       [&] {
         std::string elsewhere = root + "/elsewhere";
         WritePortState(elsewhere, StateOf("ttyS1", 1), &reason);
         fs::create_symlink(elsewhere + "/vfd-ttyS1.state", path);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    row.plant();
    PortState state;
    EXPECT_EQ(ReadPortState(dir, "ttyS1", &state, &reason), STATE_DAMAGED);
    fs::remove_all(path);
  }
}

// A last run comes back as written, line breaks and backslashes in its
// names and detail included; one of another device, or with a time the
// program never writes, is damaged.
TEST_F(StateStore, ALastRunComesBackWholeOrIsDamaged) {
  std::string reason;
  LastRun odd = {"ttyS1", "/dev/a\nb\\n\rc", "apply", "no_display", "none", "x\r\ny\\", 1765170000};
  ASSERT_TRUE(WriteLastRun(dir, odd, &reason)) << reason;
  LastRun read;
  ASSERT_EQ(ReadLastRun(dir, "ttyS1", &read, &reason), STATE_FOUND) << reason;
  EXPECT_EQ(read.port + "|" + read.detail, odd.port + "|" + odd.detail);
  std::string own = Text(dir + "/vfd-ttyS1.last"), untilTime = own.substr(0, own.find("time="));
  const struct {
    const char* key;
    std::string text;
  } rows[] = {
      {"ttyS2", own}, {"ttyS1", untilTime + "time=0123\n"}, {"ttyS1", untilTime + "time=9999999999999999999\n"}};
  for (const auto& row : rows) {
    std::ofstream(dir + "/vfd-" + row.key + ".last") << row.text;
    EXPECT_EQ(ReadLastRun(dir, row.key, &read, &reason), STATE_DAMAGED) << row.text;
  }
}

// A state or last-run file counts only when root or the account running the
// program wrote it: any member of dialout may write in the state directory,
// and a whole state of the attachment of now, planted there, would make
// root's --if-changed send nothing. Root reads alike at a prompt and in the
// units; a member trusts root's files and its own.
TEST_F(StateStore, OnlyRootsFilesAndTheReadersOwnCount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  group* dialout = getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  std::string reason, state = dir + "/vfd-ttyS0.state", last = dir + "/vfd-ttyS0.last";
  ASSERT_TRUE(WritePortState(dir, StateOf("ttyS0", 1), &reason)) << reason;
  LastRun run = {"ttyS0", "/dev/ttyS0", "apply", "stored", "none", "stored on /dev/ttyS0", 1765170000};
  ASSERT_TRUE(WriteLastRun(dir, run, &reason)) << reason;
  ASSERT_EQ(chmod(root.c_str(), 0711) | chown(dir.c_str(), 0, dialout->gr_gid) | chmod(dir.c_str(), 02775), 0);
  ASSERT_EQ(TheUnitSandbox().problem, "") << "the units' sandbox is not reproduced";
  const uid_t member = Stranger(), otherMember = Stranger() + 1;
  const struct {
    const char* what;
    uid_t owner, reader;
    bool counts;
  } rows[] = {
      {"root's, read by root", 0, 0, true},
      {"a dialout member's, read by root", member, 0, false},
      {"a dialout member's, read by that member", member, member, true},
      {"root's, read by a dialout member", 0, member, true},
      {"another dialout member's, read by a member", otherMember, member, false},
  };
  for (const auto& row : rows) {
    for (RunShape shape : BothShapes) {
      if (row.reader != 0 && shape == IN_THE_UNITS) continue;  // the units run as root
      SCOPED_TRACE(std::string(row.what) + ", " + ShapeName(shape));
      ASSERT_EQ(chown(state.c_str(), row.owner, row.owner) | chown(last.c_str(), row.owner, row.owner), 0);
      std::string read;  // the two answers, then the reasons
      ASSERT_TRUE(InShapeBytes(shape, [&] {
        gid_t groups[1] = {dialout->gr_gid};
        if (row.reader != 0 && (setgroups(1, groups) != 0 || setresgid(row.reader, row.reader, row.reader) != 0 ||
                                setresuid(row.reader, row.reader, row.reader) != 0))
          return std::string("no reader");
        PortState kept;
        LastRun told;
        std::string why, whyLast;
        StateRead stateRead = ReadPortState(dir, "ttyS0", &kept, &why);
        StateRead lastRead = ReadLastRun(dir, "ttyS0", &told, &whyLast);
        return std::string(1, static_cast<char>('0' + stateRead)) + static_cast<char>('0' + lastRead) + why + whyLast;
      }, &read));
      std::string expected(2, static_cast<char>('0' + (row.counts ? STATE_FOUND : STATE_DAMAGED)));
      EXPECT_EQ(read.substr(0, 2), expected) << read;
      std::string owner = "uid " + std::to_string(row.owner);
      EXPECT_EQ(read.find(owner) != std::string::npos, !row.counts) << "the reason names the file's owner: " << read;
    }
  }
}

TEST_F(StateStore, NeverWritesThroughALinkAndReportsAFailedReplace) {
  std::string reason;
  std::string victim = root + "/victim";
  std::ofstream(victim) << "precious\n";
  ASSERT_TRUE(fs::create_directories(dir));
  fs::create_symlink(victim, dir + "/vfd-ttyS0.state");
  ASSERT_TRUE(WritePortState(dir, StateOf("ttyS0", 2), &reason)) << reason;
  EXPECT_EQ(Text(victim), "precious\n");
  EXPECT_FALSE(fs::is_symlink(dir + "/vfd-ttyS0.state"));

  // A directory with something in it at the state's name cannot be replaced.
  fs::create_directories(dir + "/vfd-ttyS1.state/x");
  EXPECT_FALSE(WritePortState(dir, StateOf("ttyS1", 3), &reason));
  EXPECT_NE(reason.find("vfd-ttyS1.state"), std::string::npos) << reason;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "a temporary file stayed";
  std::ofstream(root + "/file").flush();
  EXPECT_FALSE(WritePortState(root + "/file/state", StateOf("ttyS1", 3), &reason));
}

// The state belongs to the device: every name of it finds one state, two
// devices never share one, and a USB adapter's by-id name wins.
TEST_F(StateStore, OneDeviceOneState) {
  fs::create_symlink("/dev/null", root + "/alias");
  PortIdentity direct = IdentifyPort(u"/dev/null"), alias = IdentifyPort(Utf16FromBytes(root + "/alias"));
  PortIdentity other = IdentifyPort(u"/dev/zero"), missing = IdentifyPort(u"/dev/ttyUSB99");
  EXPECT_EQ(direct.device, alias.device);
  EXPECT_EQ(alias.stateKey, "null");
  EXPECT_NE(direct.device, other.device);
  EXPECT_NE(direct.stateKey, other.stateKey);
  EXPECT_EQ(missing.stateKey, "/dev/ttyUSB99");

  fs::create_directories(root + "/serial/by-id");
  fs::create_symlink("/dev/null", root + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0");
  setenv("VFDSTARTUP_DEV_ROOT", root.c_str(), 1);
  EXPECT_EQ(IdentifyPort(u"/dev/null").stateKey, "by-id/usb-FTDI_FT232R_A1B2-if00-port0");
  EXPECT_EQ(IdentifyPort(Utf16FromBytes(root + "/alias")).stateKey, "by-id/usb-FTDI_FT232R_A1B2-if00-port0");
  EXPECT_EQ(IdentifyPort(u"/dev/zero").stateKey, "zero");
  unsetenv("VFDSTARTUP_DEV_ROOT");
}

// The file system's clock ticks coarsely: a change within the tick of the
// last one would leave the node's change time as it was.
void PastTheChangeTimeOf(const std::string& path) {
  struct stat info {};
  timespec now {};
  while (stat(path.c_str(), &info) == 0 && clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 &&
         now.tv_sec == info.st_ctim.tv_sec && now.tv_nsec == info.st_ctim.tv_nsec) {
  }
}

// A state counts only for the attachment it was written on: the module
// cannot be asked, and a node made again (a display plugged in again, or
// another one in its place), another boot or a node whose rights changed may
// have another module behind the same name.
TEST_F(StateStore, AStateCountsOnlyForTheAttachmentItWasWrittenOn) {
  ASSERT_EQ(geteuid(), 0u) << "makes device nodes";
  std::string reason, node = root + "/ttyVFD", boot = root + "/boot_id";
  std::ofstream(boot) << "4f1d2c3a-0000-4000-8000-000000000001\n";
  setenv("VFDSTARTUP_BOOT_ID", boot.c_str(), 1);
  ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0660, makedev(1, 3)), 0);
  std::u16string name = Utf16FromBytes(node);
  PortState kept = StateOf("ttyVFD", 1);
  kept.attachment = IdentifyPort(name).attachment;
  ASSERT_TRUE(WritePortState(dir, kept, &reason));
  PortState read;
  ASSERT_EQ(ReadPortState(dir, "ttyVFD", &read, &reason), STATE_FOUND);
  const struct {
    const char* what;
    std::function<void()> change;
    bool counts;
  } rows[] = {
      {"the same node again", [] {}, true},
      {"the node's rights changed", [&] { chmod(node.c_str(), 0666); }, false},
      {"the node made again", [&] { unlink(node.c_str()), mknod(node.c_str(), S_IFCHR | 0660, makedev(1, 3)); }, false},
      {"another boot", [&] { std::ofstream(boot) << "4f1d2c3a-0000-4000-8000-000000000002\n"; }, false},
      {"no boot id to be read", [&] { unlink(boot.c_str()); }, false},
      {"still none: a state written without one", [] {}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    PastTheChangeTimeOf(node);
    row.change();
    EXPECT_EQ(KeptStateCounts(read, IdentifyPort(name)), row.counts);
    read.attachment = IdentifyPort(name).attachment;  // written again on this attachment
  }
  PortState old = read;
  old.attachment.clear();  // a state of a program that kept no attachment
  EXPECT_FALSE(KeptStateCounts(old, IdentifyPort(name)));
  unsetenv("VFDSTARTUP_BOOT_ID");
}

}  // namespace

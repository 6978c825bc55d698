#include "unit_sandbox_posix.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

const char* const UnitFiles[] = {"vfdstartup-apply.service", "vfdstartup-apply@.service", "hardening.conf"};

// The settings of [Service] that cannot change what these rows see, each
// with the reason. A setting in neither this list nor the ones read below
// fails every row that runs in the units' shape, until it is placed: it
// may hide processes (ProtectProc=, PrivatePIDs=), devices (PrivateDevices=,
// DeviceAllow=) or accounts (PrivateUsers=, User=) from the program.
const char* const SettingsLeftAside[] = {
    "Type", "ExecStart",  // how the program is started, not what it may do
    // The lock of one apply at a time, taken by flock(1) before the program runs.
    "RuntimeDirectory", "RuntimeDirectoryMode", "RuntimeDirectoryPreserve",
    "TimeoutStartSec",  // time alone
    // Read-only mounts outside the paths the program writes to (its state,
    // lock and metrics directories are listed); each row has directories of
    // its own in their place, and the guest stage runs the real mounts.
    "ProtectSystem", "ReadWritePaths", "PrivateTmp", "ProtectHome",
    // No network: the journal's socket is AF_UNIX, and the look uses none.
    "PrivateNetwork", "IPAddressDeny", "RestrictAddressFamilies",
    // /proc/sys read-only: the program only reads pid_max and the boot id there.
    "ProtectKernelTunables",
    // Nothing the program does at all.
    "ProtectKernelModules", "ProtectKernelLogs", "ProtectControlGroups", "ProtectClock", "ProtectHostname",
    "RestrictNamespaces", "RestrictRealtime", "RestrictSUIDSGID", "LockPersonality", "MemoryDenyWriteExecute",
    "RemoveIPC", "SystemCallArchitectures",  // native: the test's own
};

#define CAPABILITY(name) {#name, name}
const std::map<std::string, int> CapabilityNumbers = {
    CAPABILITY(CAP_CHOWN), CAPABILITY(CAP_DAC_OVERRIDE), CAPABILITY(CAP_DAC_READ_SEARCH), CAPABILITY(CAP_FOWNER),
    CAPABILITY(CAP_FSETID), CAPABILITY(CAP_KILL), CAPABILITY(CAP_SETGID), CAPABILITY(CAP_SETUID),
    CAPABILITY(CAP_SETPCAP), CAPABILITY(CAP_LINUX_IMMUTABLE), CAPABILITY(CAP_NET_BIND_SERVICE),
    CAPABILITY(CAP_NET_BROADCAST), CAPABILITY(CAP_NET_ADMIN), CAPABILITY(CAP_NET_RAW), CAPABILITY(CAP_IPC_LOCK),
    CAPABILITY(CAP_IPC_OWNER), CAPABILITY(CAP_SYS_MODULE), CAPABILITY(CAP_SYS_RAWIO), CAPABILITY(CAP_SYS_CHROOT),
    CAPABILITY(CAP_SYS_PTRACE), CAPABILITY(CAP_SYS_PACCT), CAPABILITY(CAP_SYS_ADMIN), CAPABILITY(CAP_SYS_BOOT),
    CAPABILITY(CAP_SYS_NICE), CAPABILITY(CAP_SYS_RESOURCE), CAPABILITY(CAP_SYS_TIME), CAPABILITY(CAP_SYS_TTY_CONFIG),
    CAPABILITY(CAP_MKNOD), CAPABILITY(CAP_LEASE), CAPABILITY(CAP_AUDIT_WRITE), CAPABILITY(CAP_AUDIT_CONTROL),
    CAPABILITY(CAP_SETFCAP), CAPABILITY(CAP_MAC_OVERRIDE), CAPABILITY(CAP_MAC_ADMIN), CAPABILITY(CAP_SYSLOG),
    CAPABILITY(CAP_WAKE_ALARM), CAPABILITY(CAP_BLOCK_SUSPEND), CAPABILITY(CAP_AUDIT_READ)};
#undef CAPABILITY

const std::map<std::string, int> ErrorNumbers = {{"EPERM", EPERM}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS}};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// systemd's own system call sets, as `systemd-analyze syscall-filter` lists
// them: "@set" lines, then its members (calls and sets) indented.
std::map<std::string, std::vector<std::string>> SystemCallSets() {
  std::map<std::string, std::vector<std::string>> sets;
  FILE* listing = popen("systemd-analyze syscall-filter --no-pager 2>/dev/null", "r");
  if (listing == nullptr) return sets;
  std::string set;
  for (char line[256]; std::fgets(line, sizeof line, listing) != nullptr;) {
    std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (line[0] == '@') set = words[0];
    else if (!set.empty() && line[0] == ' ') sets[set].push_back(words[0]);
  }
  pclose(listing);
  return sets;
}

void AddSystemCalls(const std::string& name, const std::map<std::string, std::vector<std::string>>& sets,
                    std::set<std::string>* calls, std::string* problem) {
  if (name[0] != '@') {
    calls->insert(name);
    return;
  }
  auto found = sets.find(name);
  if (found == sets.end()) {
    *problem = "system call set " + name + " unknown to systemd-analyze syscall-filter";
    return;
  }
  for (const std::string& member : found->second) AddSystemCalls(member, sets, calls, problem);
}

void ReadCapabilities(const std::string& value, UnitSandbox* sandbox) {
  if (value.empty()) sandbox->capabilities.clear();
  for (const std::string& name : Words(value)) {
    auto found = CapabilityNumbers.find(name);
    if (name[0] == '~' || found == CapabilityNumbers.end()) sandbox->problem = "CapabilityBoundingSet=" + value;
    else sandbox->capabilities.push_back(found->second);
  }
}

void ReadSystemCallFilter(const std::string& value, std::set<std::string>* calls, UnitSandbox* sandbox) {
  static const std::map<std::string, std::vector<std::string>> sets = SystemCallSets();
  if (value.empty() || value[0] == '~') sandbox->problem = "SystemCallFilter=" + value;
  for (const std::string& name : Words(value)) AddSystemCalls(name, sets, calls, &sandbox->problem);
}

void ReadSetting(const std::string& key, const std::string& value, std::set<std::string>* calls, UnitSandbox* sandbox) {
  if (key == "CapabilityBoundingSet") return ReadCapabilities(value, sandbox);
  if (key == "SystemCallFilter") return ReadSystemCallFilter(value, calls, sandbox);
  if (key == "NoNewPrivileges") sandbox->noNewPrivileges = value == "yes" || value == "true" || value == "1";
  else if (key == "Group") sandbox->group = value;
  else if (key == "UMask") sandbox->umask = static_cast<mode_t>(std::strtoul(value.c_str(), nullptr, 8));
  else if (key == "SystemCallErrorNumber" && ErrorNumbers.count(value) != 0) sandbox->systemCallError = ErrorNumbers.at(value);
  else if (std::find(std::begin(SettingsLeftAside), std::end(SettingsLeftAside), key) == std::end(SettingsLeftAside))
    sandbox->problem = "a setting of the units these tests do not know: " + key + "=" + value;
}

void ReadUnitFile(const std::string& path, std::set<std::string>* calls, UnitSandbox* sandbox) {
  std::ifstream file(path);
  if (!file) sandbox->problem = "cannot read " + path;
  std::string section;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') section = line;
    size_t equals = line.find('=');
    if (section == "[Service]" && equals != std::string::npos)
      ReadSetting(line.substr(0, equals), line.substr(equals + 1), calls, sandbox);
  }
}

UnitSandbox ReadUnitSandbox() {
  UnitSandbox sandbox;
  std::set<std::string> calls;
  for (const char* name : UnitFiles) ReadUnitFile(std::string(VFD_UNIT_DIR) + "/" + name, &calls, &sandbox);
  sandbox.systemCalls.assign(calls.begin(), calls.end());
  return sandbox;
}

// As systemd leaves root's capabilities in a unit: none outside the
// bounding set, every one inside it.
bool KeepOnlyCapabilities(const std::vector<int>& kept) {
  int last = CAP_LAST_CAP;
  std::ifstream("/proc/sys/kernel/cap_last_cap") >> last;
  for (int cap = 0; cap <= last; ++cap)
    if (std::find(kept.begin(), kept.end(), cap) == kept.end() && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  for (int cap : kept) {
    data[cap / 32].effective |= 1u << (cap % 32);
    data[cap / 32].permitted |= 1u << (cap % 32);
  }
  return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 && syscall(SYS_capset, &header, data) == 0;
}

// Every call outside the list answers the unit's error number; calls this
// machine's architecture does not have are left out, as systemd does.
bool LoadSystemCallFilter(const UnitSandbox& sandbox) {
  if (sandbox.systemCalls.empty()) return true;
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(static_cast<uint32_t>(sandbox.systemCallError)));
  bool made = filter != nullptr;
  for (const std::string& name : sandbox.systemCalls) {
    int number = seccomp_syscall_resolve_name(name.c_str());
    if (made && number != __NR_SCMP_ERROR) made = seccomp_rule_add(filter, SCMP_ACT_ALLOW, number, 0) == 0;
  }
  made = made && seccomp_load(filter) == 0;
  if (filter != nullptr) seccomp_release(filter);
  return made;
}

}  // namespace

const char* ShapeName(RunShape shape) { return shape == IN_THE_UNITS ? "in the units' sandbox" : "at a root prompt"; }

const UnitSandbox& TheUnitSandbox() {
  static const UnitSandbox sandbox = ReadUnitSandbox();
  return sandbox;
}

// systemd's order: groups, capabilities, then the filter; a filter without
// CAP_SYS_ADMIN implies no new privileges.
bool EnterUnitSandbox(const UnitSandbox& sandbox) {
  umask(sandbox.umask);
  group* named = sandbox.group.empty() ? nullptr : getgrnam(sandbox.group.c_str());
  if (!sandbox.group.empty() && named == nullptr) return false;
  gid_t gid = named != nullptr ? named->gr_gid : 0;
  if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0) return false;
  if (!KeepOnlyCapabilities(sandbox.capabilities)) return false;
  bool adminKept = std::find(sandbox.capabilities.begin(), sandbox.capabilities.end(), CAP_SYS_ADMIN) !=
                   sandbox.capabilities.end();
  bool noNew = sandbox.noNewPrivileges || (!sandbox.systemCalls.empty() && !adminKept);
  if (noNew && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return LoadSystemCallFilter(sandbox);
}

bool InShapeBytes(RunShape shape, const std::function<std::string()>& run, std::string* bytes) {
  TheUnitSandbox();  // read here, once, not again in every child
  int answer[2];
  if (pipe(answer) != 0) return false;
  pid_t child = fork();
  if (child == 0) {
    close(answer[0]);
    const UnitSandbox& sandbox = TheUnitSandbox();
    if (shape == IN_THE_UNITS && (!sandbox.problem.empty() || !EnterUnitSandbox(sandbox))) _exit(2);
    std::string made = run();
    bool sent = write(answer[1], made.data(), made.size()) == static_cast<ssize_t>(made.size());
    _exit(sent ? 0 : 1);
  }
  close(answer[1]);
  bytes->clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  pollfd readable = {answer[0], POLLIN, 0};
  for (char buffer[4096]; child > 0 && std::chrono::steady_clock::now() < deadline;) {
    if (poll(&readable, 1, 100) <= 0) continue;
    ssize_t n = read(answer[0], buffer, sizeof buffer);
    if (n <= 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  close(answer[0]);
  int status = -1;
  while (child > 0 && waitpid(child, &status, WNOHANG) != child) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    usleep(5000);
  }
  return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

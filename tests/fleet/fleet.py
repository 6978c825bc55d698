"""A fleet of point-of-sale terminals on this machine for Ansible.

Each terminal is an inventory host with a local connection and its own
emulated display (vfd-emulator) on its own pseudo-terminal, its own
configuration file naming that pty as the port, and its own state
directory. The program sees a pty with CTS through the 64-bit modem-lines
fixture (LD_PRELOAD), passed with the rest of the host's environment in
vfdstartup_environment. Emulators are started and ended by their pids.
"""
import atexit
import ctypes
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

Here = os.path.dirname(os.path.abspath(__file__))
Root = os.path.dirname(os.path.dirname(Here))
Playbooks = os.path.join(Root, "deploy", "ansible")
# Stands in for ansible.windows.win_command on hosts taking the role's Windows path.
WinCommandStandIn = os.path.join(Here, "win_command_stand_in")
AnsiblePlaybook = "/usr/bin/ansible-playbook"

# The record the module stores: per 64-byte row the speed code, the text, zeros.
SpeedCodes = {"<10ms": 0x10, "100ms": 0x11, "200ms": 0x12, "300ms": 0x13, "400ms": 0x14, "500ms": 0x15}
RowSize = 64
RowTextMax = 63


def ExpectedRecord(speed, row0, row1):
    record = bytearray(2 * RowSize)
    for row, text in enumerate((row0, row1)):
        record[row * RowSize] = SpeedCodes[speed]
        encoded = text.encode("ascii")[:RowTextMax]
        record[row * RowSize + 1:row * RowSize + 1 + len(encoded)] = encoded
    return bytes(record)


def EndWithParent():
    # An emulator outlives nothing: if this process dies, the kernel ends it.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def WaitUntil(check, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def UseOwnModemLinesDir():
    """The emulators this process starts and the fixture in the programs it
    runs meet in a directory of its own, which does not exist yet when the
    first emulator starts (it makes it), unless whoever started the tests
    chose one: never in one machine-wide directory. Removed at exit."""
    if os.environ.get("VFD_MODEM_LINES_DIR"):
        return
    parent = tempfile.mkdtemp(prefix="vfd-lines-")
    os.chmod(parent, 0o755)  # the fixture in a program run as another account
    os.environ["VFD_MODEM_LINES_DIR"] = os.path.join(parent, "modem-lines")
    atexit.register(shutil.rmtree, parent, True)


def TextOf(path):
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except FileNotFoundError:
        return ""


class Terminal:
    def __init__(self, directory, name):
        self.name = name
        base = os.path.join(directory, name)
        self.link, self.log, self.store, self.control = base, base + ".log", base + ".rec", base + ".ctl"
        self.conf, self.stateDir, self.output = base + ".conf", base + "-state", base + ".out"
        self.messageFile = os.path.join(base + "-etc", "message.conf")  # pull mode's
        self.process = None
        self.commandsSent = 0

    def Start(self, emulator):
        UseOwnModemLinesDir()
        with open(self.conf, "w") as conf:
            conf.write("port=%s\n" % self.link)
        with open(self.output, "w") as output:
            self.process = subprocess.Popen(
                [emulator, "--link", self.link, "--control", self.control, "--log", self.log,
                 "--store", self.store, "--no-display"],
                stdin=subprocess.DEVNULL, stdout=output, stderr=output, preexec_fn=EndWithParent)

    def Stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        os.kill(self.process.pid, signal.SIGTERM)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()

    def Events(self):
        return [json.loads(line) for line in TextOf(self.log).splitlines() if line.strip()]

    def Control(self, command):
        # Taken once <control>.ack counts every line appended so far.
        with open(self.control, "a") as control:
            control.write(command + "\n")
        self.commandsSent += 1
        ack = "%d ok" % self.commandsSent
        return WaitUntil(lambda: TextOf(self.control + ".ack").startswith(ack))

    def StoredRecord(self):
        with open(self.store, "rb") as store:
            return store.read()


class PlaybookRun:
    def __init__(self, rc, output, seconds):
        self.rc, self.output, self.seconds = rc, output, seconds
        # "t1  : ok=1  changed=1  unreachable=0  failed=0 ..." per host.
        self.recap = {}
        for match in re.finditer(r"^(\S+)\s+: ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)",
                                 output, re.M):
            self.recap[match.group(1)] = {"ok": int(match.group(2)), "changed": int(match.group(3)),
                                          "unreachable": int(match.group(4)), "failed": int(match.group(5))}
        self.failures = {}
        for match in re.finditer(r"^fatal: \[(\S+)\]: FAILED! => (\{.*\})$", output, re.M):
            self.failures[match.group(1)] = json.loads(match.group(2))


class Fleet:
    """count terminals t1..tN; the names in windowsHosts take the role's Windows path."""

    def __init__(self, tools, count, windowsHosts=()):
        tools = os.path.abspath(tools)
        self.emulator = os.path.join(tools, "tools-bin", "vfd-emulator")
        self.cli = os.path.join(tools, "src", "cli", "vfdstartup-cli")
        self.preload = os.path.join(tools, "tools-bin", "lib", "x86_64-linux-gnu", "libvfd_modem_lines.so")
        self.dir = tempfile.mkdtemp(prefix="vfd-fleet-")
        self.terminals = [Terminal(self.dir, "t%d" % (i + 1)) for i in range(count)]
        self.windowsHosts = set(windowsHosts)
        self.inventory = os.path.join(self.dir, "inventory.yml")
        self.runs = 0

    def Start(self):
        for terminal in self.terminals:
            terminal.Start(self.emulator)
        started = all(WaitUntil(lambda t=t: '"event":"start"' in TextOf(t.log)) for t in self.terminals)
        self.WriteInventory()
        return started

    def Stop(self, keepFiles=False):
        for terminal in self.terminals:
            terminal.Stop()
        if not keepFiles:
            shutil.rmtree(self.dir, ignore_errors=True)

    def HostVars(self, terminal):
        hostVars = {
            "vfdstartup_state_dir": terminal.stateDir,
            "vfdstartup_message_file": terminal.messageFile,
            "vfdstartup_environment": {"LD_PRELOAD": self.preload, "VFDSTARTUP_CONF": terminal.conf,
                                       "VFDSTARTUP_PORTS": "", "VFDSTARTUP_METRICS_DIR": "/nonexistent"},
        }
        if terminal.name in self.windowsHosts:
            hostVars["vfdstartup_windows"] = True
        return hostVars

    def WriteInventory(self, executable=None):
        groupVars = {"ansible_connection": "local", "ansible_python_interpreter": "/usr/bin/python3",
                     "vfdstartup_executable": executable or self.cli}
        hosts = {terminal.name: self.HostVars(terminal) for terminal in self.terminals}
        with open(self.inventory, "w") as inventory:
            json.dump({"pos_terminals": {"hosts": hosts, "vars": groupVars}}, inventory, indent=1)

    def AnsibleEnvironment(self):
        # Nothing from this machine's own Ansible set-up; the stand-in as the only collection.
        config = os.path.join(self.dir, "ansible.cfg")
        open(config, "a").close()
        environment = dict(os.environ)
        environment.update({
            "ANSIBLE_CONFIG": config, "ANSIBLE_NOCOLOR": "1", "ANSIBLE_RETRY_FILES_ENABLED": "0",
            "ANSIBLE_COLLECTIONS_PATH": WinCommandStandIn, "ANSIBLE_COLLECTIONS_SCAN_SYS_PATH": "0",
            "ANSIBLE_LOCAL_TEMP": os.path.join(self.dir, "ansible-local"),
            "ANSIBLE_REMOTE_TEMP": os.path.join(self.dir, "ansible-remote"),
        })
        return environment

    def Rollout(self, rows, speed, check=False, forks=None, extraVars=None, extraArgs=(), playbook="rollout.yml"):
        message = {"vfdstartup_rows": list(rows), "vfdstartup_speed": speed}
        message.update(extraVars or {})
        self.runs += 1
        messageFile = os.path.join(self.dir, "message-%d.json" % self.runs)
        with open(messageFile, "w") as file:
            json.dump(message, file)
        command = [AnsiblePlaybook, "-i", self.inventory, os.path.join(Playbooks, playbook), "-e", "@" + messageFile,
                   "--forks", str(forks or len(self.terminals))]
        if check:
            command.append("--check")
        command += list(extraArgs)
        start = time.monotonic()
        done = subprocess.run(command, cwd=self.dir, env=self.AnsibleEnvironment(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return PlaybookRun(done.returncode, done.stdout, time.monotonic() - start)


def StopOnSignals():
    # SIGTERM or SIGHUP unwind like Ctrl-C, so every finally block ends its emulators.
    def Raise(number, frame):
        raise KeyboardInterrupt("signal %d" % number)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, Raise)

"""QEMU guests with real kernel serial drivers, each port leading to its own
emulated display on this machine (tests/fleet's Terminal: vfd-emulator with
its log, stored record and control file).

A guest is booted by tools/qemu-guest/guest.sh (which becomes QEMU, so its
pid is QEMU's) and runs one script from tests/qemu inside the host's root
file system. It talks back through its exchange directory (/run/vfd in the
guest, Guest.out here): it leaves `step-NAME` there and waits for
`step-NAME.done`, which this side writes once it has done what that step
asks (a control command for an emulator, a look at the host's pty). The
script's results are files in the same directory. Every process is started
and ended by its pid.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import termios
import time

Here = os.path.dirname(os.path.abspath(__file__))
Root = os.path.dirname(os.path.dirname(Here))
sys.path.insert(0, os.path.join(Root, "tests", "fleet"))
import fleet  # noqa: E402  (the emulated displays)

GuestScript = os.path.join(Root, "tools", "qemu-guest", "guest.sh")
Image = os.path.join(Root, "build", "qemu-guest")

# What a rate setting reads as on the host's pty.
BaudOfSpeed = {getattr(termios, "B%d" % b): b for b in (4800, 9600, 19200, 38400, 57600, 115200)}


def BuildImage():
    """Builds the guest image, or finds it up to date (before any guest boots)."""
    built = subprocess.run([GuestScript, "image"], cwd=Root, stdin=subprocess.DEVNULL).returncode == 0
    if not built:
        print("no guest image")
    return built


def HostBaud(link):
    """The rate the host's pty is set to now: QEMU sets it as the guest sets
    its UART or USB adapter."""
    fd = os.open(link, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return BaudOfSpeed.get(termios.tcgetattr(fd)[5])
    finally:
        os.close(fd)


class Guest:
    """serials: names of displays on ttyS1, ttyS2, ...; usbs: on ttyUSB0, ...
    Each display is a fleet.Terminal named NAME-PORT (e.g. g1-ttyS1)."""

    def __init__(self, directory, name, build, serials=("ttyS1",), usbs=(), sshPort=None, jitCacheMb=64):
        self.name, self.build, self.sshPort = name, os.path.abspath(build), sshPort
        self.jitCacheMb = jitCacheMb
        self.dir = os.path.join(directory, name)
        self.out = os.path.join(self.dir, "out")
        os.makedirs(self.out)
        self.serials, self.usbs = list(serials), list(usbs)
        self.displays = {port: fleet.Terminal(self.dir, port) for port in self.serials + self.usbs}
        self.console = os.path.join(self.dir, "console.log")
        self.process = None
        self.maxRssKb = 0
        self.seconds = None
        self.handled = set()
        self.started = None

    def Cli(self):
        return os.path.join(self.build, "src", "cli", "vfdstartup-cli")

    def WriteEnvironment(self, values):
        # Sourced by the guest's script: the program's path and the switches.
        with open(os.path.join(self.out, "guest.env"), "w") as env:
            for key, value in values.items():
                env.write("%s='%s'\n" % (key, value))

    def StartDisplays(self, modes=None):
        emulator = os.path.join(self.build, "tools-bin", "vfd-emulator")
        for display in self.displays.values():
            display.Start(emulator)
        ok = all(fleet.WaitUntil(lambda d=d: '"event":"start"' in fleet.TextOf(d.log)) for d in self.displays.values())
        for port, mode in (modes or {}).items():
            ok = self.displays[port].Control("mode " + mode) and ok
        return ok

    def Boot(self, script, options=()):
        """script: what the guest runs (None: options say, e.g. --systemd)."""
        command = [GuestScript, "boot", "--out", self.out, "--console", self.console,
                   "--tools", os.path.join(self.build, "tools-bin"), "--jit-cache", str(self.jitCacheMb)]
        command += ["--run", os.path.relpath(script, Root)] if script else []
        command += list(options)
        for port in self.serials:
            command += ["--serial", self.displays[port].link]
        for port in self.usbs:
            command += ["--usb", self.displays[port].link]
        if self.sshPort:
            command += ["--ssh-port", str(self.sshPort)]
        self.started = time.monotonic()
        with open(os.path.join(self.dir, "qemu.out"), "w") as output:
            self.process = subprocess.Popen(command, cwd=Root, stdin=subprocess.DEVNULL, stdout=output,
                                            stderr=subprocess.STDOUT, preexec_fn=fleet.EndWithParent)

    def PendingSteps(self):
        names = [n[len("step-"):] for n in os.listdir(self.out) if n.startswith("step-") and not n.endswith(".done")]
        return sorted(n for n in names if n not in self.handled)

    def AnswerSteps(self, handler):
        for step in self.PendingSteps():
            self.handled.add(step)
            handler.Step(self, step)
            open(os.path.join(self.out, "step-%s.done" % step), "w").close()

    def Reap(self, block):
        # QEMU's peak memory comes with its exit status.
        if self.process is None or self.process.returncode is not None:
            return True
        pid, status, usage = os.wait4(self.process.pid, 0 if block else os.WNOHANG)
        if pid == 0:
            return False
        self.process.returncode = os.waitstatus_to_exitcode(status)
        self.maxRssKb = usage.ru_maxrss
        self.seconds = time.monotonic() - self.started
        return True

    def Run(self, handler=None, seconds=150.0):
        """Answers the guest's steps (handler.Step(guest, name)) and lets
        handler.Tick(guest) watch in between, until QEMU ends; False after
        `seconds`."""
        deadline = time.monotonic() + seconds
        while not self.Reap(block=False):
            if handler:
                self.AnswerSteps(handler)
                handler.Tick(self)
            if time.monotonic() > deadline:
                self.Kill()
                return False
            time.sleep(0.02)
        return True

    def Kill(self):
        if self.process is not None and self.process.returncode is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
            self.Reap(block=True)

    def Stop(self):
        self.Kill()
        for display in self.displays.values():
            display.Stop()

    def Result(self, name, suffix):
        return fleet.TextOf(os.path.join(self.out, "%s.%s" % (name, suffix)))

    def ExitCode(self, name):
        text = self.Result(name, "rc").strip()
        return int(text) if text else None

    def Figures(self):
        return "%s: %.1f s, QEMU peak memory %d MB" % (self.name, self.seconds or 0, self.maxRssKb // 1024)


class Qmp:
    """QEMU's monitor (guest.sh boot --qmp SOCKET), for plugging devices in
    and out while the guest runs: one JSON object per line each way."""

    def __init__(self, path):
        self.path, self.socket, self.pending, self.events = path, None, b"", []

    def Connect(self):
        fleet.WaitUntil(lambda: os.path.exists(self.path), 30)
        self.socket = socket.socket(socket.AF_UNIX)
        self.socket.settimeout(30)
        self.socket.connect(self.path)
        self.Read()  # the greeting
        return self.Execute("qmp_capabilities")

    def Read(self):
        while b"\n" not in self.pending:
            data = self.socket.recv(65536)
            if not data:
                raise EOFError("QEMU closed its monitor")
            self.pending += data
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def Execute(self, command, **arguments):
        """The command's answer (its "return", or None after an "error")."""
        if self.socket is None and command != "qmp_capabilities":
            self.Connect()
        self.socket.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        while True:
            answer = self.Read()
            if "event" in answer:
                self.events.append(answer)
            elif "error" in answer:
                print("  QMP %s: %s" % (command, answer["error"].get("desc")))
                return None
            else:
                return answer.get("return")

    def WaitForEvent(self, name, device):
        """Whether the event came for the device (a device_del is done only then)."""
        while True:
            for event in self.events:
                if event["event"] == name and event.get("data", {}).get("device") == device:
                    self.events.remove(event)
                    return True
            try:
                self.events.append(self.Read())
            except (OSError, EOFError):
                return False

    def Close(self):
        if self.socket is not None:
            self.socket.close()

#!/usr/bin/python3
"""The rollout playbook (deploy/ansible/rollout.yml) over real SSH to a fleet
of three QEMU guests (tools/qemu-guest), each a terminal with its own
display on ttyS1 (the 8250 UART driver, leading to an emulator on this
machine) and its own state in /var/lib/vfdstartup. Ansible logs in as the
guest's unprivileged user "pos", a member of dialout, with a throwaway key,
and checks the guest's host key. Each terminal's configuration names its
display's port (port=/dev/ttyS1, as VFDSTARTUP_PORTS does too). The checks are tests/fleet's, on what each
display received and stored:
  1. the first run changes every terminal, each display stores the record;
  2. the same message again changes none and sends nothing;
  3. a terminal whose display is silent fails alone, its display left out of
     set-up mode; the others store the new message;
  4. check mode sends nothing and says which would change;
  5. the report mode gathers every terminal's status over SSH into one
     report on this machine: the silent display's terminal under no_answer
     and as holding the first message still, the others under stored.
At most two guests boot at once, and Ansible serves two at a time (--forks 2).

Usage: fleet_ssh_test.py BUILD_DIR   (the linux preset's build, e.g. build/linux)
"""
import json
import os
import socket
import subprocess
import sys
import time

import guests

fleet = guests.fleet
import fleet_test  # noqa: E402  (tests/fleet's checks, on the path through guests)

Guests = 3
Forks = 2
SilentHost = "g3"
MessageA = (("Store 12 over SSH", "Open 8-22 every day"), "200ms")
MessageB = (("Winter sale", "through the 8250 UART"), "500ms")
BootSeconds = 90
# Ansible's modules are Python: a larger translated-code cache saves QEMU
# about a quarter of its processor time for about 80 MB per guest.
JitCacheMb = 128


def FreePort():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SshFleet(fleet.Fleet):
    """tests/fleet's Fleet with guests behind SSH instead of local hosts."""

    def __init__(self, build, count):
        super().__init__(build, 0)
        self.guests = [guests.Guest(self.dir, "g%d" % (i + 1), build, sshPort=FreePort(), jitCacheMb=JitCacheMb)
                       for i in range(count)]
        for guest in self.guests:
            guest.portTries, guest.upSeconds = 0, None
        self.terminals = []
        for guest in self.guests:
            terminal = guest.displays["ttyS1"]
            terminal.name = guest.name  # the inventory's host name
            self.terminals.append(terminal)
        self.key = os.path.join(self.dir, "id_ed25519")
        self.knownHosts = os.path.join(self.dir, "known_hosts")
        self.controlPath = os.path.join(self.dir, "cp-%C")

    def Start(self):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "vfdstartup fleet test", "-f", self.key],
                       check=True, stdin=subprocess.DEVNULL)
        for guest in self.guests:
            subprocess.run(["cp", self.key + ".pub", os.path.join(guest.out, "authorized_keys")], check=True)
            guest.WriteEnvironment({})
            if not guest.StartDisplays():
                return False
        return self.BootTwoAtATime()

    def WriteKnownHosts(self):
        with open(os.path.join(guests.Image, "sshd", "keys", "ssh_host_ed25519_key.pub")) as hostKey:
            hostKey = " ".join(hostKey.read().split()[:2])
        with open(self.knownHosts, "w") as known:
            for guest in self.guests:
                known.write("[127.0.0.1]:%d %s\n" % (guest.sshPort, hostKey))
        self.WriteInventory()

    def BootTwoAtATime(self):
        script = os.path.join(guests.Here, "fleet_guest.sh")
        self.WriteKnownHosts()
        waiting, booting = list(self.guests), []
        deadline = time.monotonic() + BootSeconds
        while waiting or booting:
            booting = [g for g in booting if not self.Reachable(g)]
            while waiting and len(booting) < 2:
                booting.append(waiting.pop(0))
                booting[-1].Boot(script)
            for guest in [g for g in booting if g.Reap(block=False)]:
                # Another program may have taken the free port since.
                if "host forwarding" not in fleet.TextOf(os.path.join(guest.dir, "qemu.out")) or guest.portTries > 2:
                    print("  %s ended during boot:\n%s" % (guest.name, fleet.TextOf(os.path.join(guest.dir, "qemu.out"))))
                    return False
                guest.sshPort, guest.portTries = FreePort(), guest.portTries + 1
                self.WriteKnownHosts()
                booting.remove(guest)
                waiting.insert(0, guest)
            if time.monotonic() > deadline:
                print("  guests not up: %s" % [g.name for g in booting + waiting])
                return False
            time.sleep(0.1)
        return True

    def Reachable(self, guest):
        # sshd has started, and a login works.
        if not os.path.exists(os.path.join(guest.out, "sshd-started")):
            return False
        if guest.upSeconds is None:
            done = subprocess.run(self.SshCommand(guest) + ["true"], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if done.returncode != 0:
                return False
            guest.upSeconds = time.monotonic() - guest.started
            print("  %s: first SSH login %.1f s after start" % (guest.name, guest.upSeconds))
        return True

    def SshOptions(self):
        return ["-F", "/dev/null", "-o", "UserKnownHostsFile=" + self.knownHosts, "-o", "StrictHostKeyChecking=yes",
                "-o", "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o", "ConnectTimeout=10"]

    def SshCommand(self, guest):
        return ["ssh"] + self.SshOptions() + ["-i", self.key, "-p", str(guest.sshPort), "pos@127.0.0.1"]

    def Stop(self, keepFiles=False):
        for guest in self.guests:
            # Ansible's shared connection for this guest, if any, ends first.
            subprocess.run(["ssh", "-F", "/dev/null", "-o", "ControlPath=" + self.controlPath, "-p", str(guest.sshPort), "-O", "exit",
                            "pos@127.0.0.1"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if guest.process is not None:
                open(os.path.join(guest.out, "stop"), "w").close()
        for guest in self.guests:
            if guest.process is not None:
                guest.Run(seconds=30)
            guest.Stop()
        super().Stop(keepFiles)

    def WriteInventory(self, executable=None):
        groupVars = {
            "ansible_user": "pos", "ansible_ssh_private_key_file": self.key,
            "ansible_ssh_common_args": " ".join(self.SshOptions()),
            "ansible_python_interpreter": "/usr/bin/python3",
            # The guest sees this machine's file system, so the program is here.
            "vfdstartup_executable": executable or self.cli,
            "vfdstartup_environment": {"VFDSTARTUP_CONF": "/run/vfdstartup.conf", "VFDSTARTUP_PORTS": "/dev/ttyS1"},
        }
        hosts = {g.name: {"ansible_host": "127.0.0.1", "ansible_port": g.sshPort} for g in self.guests}
        with open(self.inventory, "w") as inventory:
            json.dump({"pos_terminals": {"hosts": hosts, "vars": groupVars}}, inventory, indent=1)

    def AnsibleEnvironment(self):
        environment = super().AnsibleEnvironment()
        environment.pop("ANSIBLE_REMOTE_TEMP")  # the guest's own, under ~pos
        environment.update({
            "ANSIBLE_PIPELINING": "1",
            "ANSIBLE_SSH_ARGS": "-o ControlMaster=auto -o ControlPersist=60s -o ControlPath=" + self.controlPath,
        })
        return environment

    def Rollout(self, rows, speed, check=False, forks=None, extraVars=None, extraArgs=(), playbook="rollout.yml"):
        return super().Rollout(rows, speed, check, forks or Forks, extraVars, extraArgs, playbook)


def FirstRollout(theFleet):
    fleet_test.Stage("first rollout over SSH: every display stores the record", theFleet, MessageA,
                     fleet_test.Everyone(theFleet, "changed"))
    fleet_test.CheckStored(theFleet.terminals, MessageA, "first rollout")


def SameMessageAgain(theFleet):
    run, marks = fleet_test.Stage("same message again: nothing sent", theFleet, MessageA,
                                  fleet_test.Everyone(theFleet, "ok"))
    fleet_test.CheckNothingSent(theFleet, marks, "same message")


def SilentDisplay(theFleet):
    silent = next(t for t in theFleet.terminals if t.name == SilentHost)
    fleet_test.Check(silent.Control("mode silent"), "silent mode not taken")
    expected = fleet_test.Everyone(theFleet, "changed", {SilentHost: "failed"})
    run, marks = fleet_test.Stage("a silent display fails alone", theFleet, MessageB, expected)
    fleet_test.CheckStored([t for t in theFleet.terminals if t is not silent], MessageB, "silent display")
    fleet_test.CheckStored([silent], MessageA, "silent display keeps")
    fleet_test.CheckLeftSetupMode(silent, marks, "silent display")


def CheckMode(theFleet):
    # The silent display's terminal dropped its kept record when the write was
    # tried: as a real run would, --check looks for the display (enter, exit,
    # no record) and fails on its silence. The others keep the record: nothing
    # reaches their lines.
    silent = next(t for t in theFleet.terminals if t.name == SilentHost)
    expected = fleet_test.Everyone(theFleet, "ok", {SilentHost: "failed"})
    run, marks = fleet_test.Stage("--check: the decision of a real run, no record sent", theFleet, MessageB, expected,
                                  check=True)
    fleet_test.CheckNothingSent(fleet_test.Subfleet(theFleet, (SilentHost,)), marks, "--check")
    fleet_test.CheckLeftSetupMode(silent, marks, "--check")


def ReportOverSsh(theFleet):
    destination = os.path.join(theFleet.dir, "report")
    run = theFleet.Rollout(*MessageB, extraVars={"vfdstartup_mode": "report", "vfdstartup_report_dest": destination})
    report = {}
    if fleet_test.Check(run.rc == 0 and os.path.exists(destination + ".json"),
                        "report mode: exit %d\n%s" % (run.rc, run.output[-2000:])):
        with open(destination + ".json") as text:
            report = json.load(text)
    expected = {"stored": sorted(g.name for g in theFleet.guests if g.name != SilentHost), "no_answer": [SilentHost]}
    outcomes = {outcome: sorted(hosts) for outcome, hosts in report.get("outcomes", {}).items()}
    # The silent display never answered the second rollout's search, so its
    # terminal's kept state (the first message) still counts.
    other = report.get("other_message", {})
    held = [entry.get("rows") for entry in other.get(SilentHost, [])]
    fleet_test.Check(outcomes == expected and report.get("unreachable") == [] and list(other) == [SilentHost]
                     and held == [list(MessageA[0])] and os.path.exists(destination + ".md"),
                     "the report over SSH: %s" % report)


def Main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fleet.StopOnSignals()
    if not guests.BuildImage():
        return 1
    theFleet = SshFleet(sys.argv[1], Guests)
    started = time.monotonic()
    try:
        if fleet_test.Check(theFleet.Start(), "the fleet did not come up"):
            for stage in (FirstRollout, SameMessageAgain, SilentDisplay, CheckMode, ReportOverSsh):
                stage(theFleet)
                if fleet_test.Failures:
                    break
    except KeyboardInterrupt as interruption:
        fleet_test.Check(False, "interrupted (%s)" % interruption)
    finally:
        theFleet.Stop(keepFiles=bool(fleet_test.Failures))
    print("  fleet of %d guests: %.1f s, QEMU peak memory %d MB together; %s" % (
        Guests, time.monotonic() - started, sum(g.maxRssKb for g in theFleet.guests) // 1024,
        "; ".join(g.Figures() for g in theFleet.guests)))
    return fleet_test.Conclude("SSH fleet test", theFleet.dir)


if __name__ == "__main__":
    sys.exit(Main())

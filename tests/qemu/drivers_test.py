#!/usr/bin/python3
"""The Linux console program through real kernel serial drivers: one QEMU
guest (tools/qemu-guest) runs tests/qemu/drivers_guest.sh with
  ttyS1    the 8250 UART driver -> a display on this machine
  ttyUSB0  ftdi_sio (QEMU's FT232 on xHCI) -> a second display
  ttyS2    the 8250 driver -> a display that never answers
and every verdict is taken from what the displays received and stored on
this side (the emulators' logs and record files), next to the guest's exit
codes and line settings (stty -g around each case).

QEMU's FTDI adapter ignores CTS, so holding output back is tried on the UART
only. Two cases can be left out by setting their variable to 0:
  VFD_QEMU_CASE_SIGTERM_FINISHES_EXCHANGE  SIGTERM during an exchange: the
      exchange runs to its end (the display stores the record and gets the
      exit command), the settings are put back, exit 143
  VFD_QEMU_CASE_FIND_SKIPS_CONSOLE         find with no VFDSTARTUP_PORTS
      leaves the guest's console (ttyS0) alone

Usage: drivers_test.py BUILD_DIR [--keep]   (the linux preset's build, e.g.
build/linux; --keep: leave the logs, records and console in /tmp)
"""
import json
import os
import sys
import tempfile
import time

import guests

fleet = guests.fleet

SwitchSigterm = "VFD_QEMU_CASE_SIGTERM_FINISHES_EXCHANGE"
SwitchConsole = "VFD_QEMU_CASE_FIND_SKIPS_CONSOLE"

# The module's commands, as they go over the line.
Enter = bytes([0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E])
Query = bytes([0x1F, 0x28, 0x65, 0x40, 0x30])
Write = bytes([0x1F, 0x28, 0x65, 0x32])
Exit = bytes([0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54])
FactoryRows = ("QV rm7700 All-in-One Point of Sale System          ",
               " .... Thank You and Have a Nice Day ....           ")
FactorySpeed = "300ms"
LineBaud = 38400    # the program's line, during the exchange
SavedBaud = 19200   # what the guest set before; the program puts it back

Rows, Speed = ("Real 16550 UART", "and FTDI ft232 too"), "200ms"
AfterCtsRows = (Rows[0], "after CTS")
HeldRows = ("held back", "by CTS")
Uart, Usb, Silent = "ttyS1", "ttyUSB0", "ttyS2"
SettingsOrder = (Uart, Usb, Silent, "ttyS0")  # as drivers_guest.sh keeps them (stty -g)

# The JSON result's names: the one place to change when they are renamed.
FoundVerdict, NoAnswerVerdict, StoredOutcome = "found", "no_answer", "stored"

# tests/fleet's way of keeping failed checks (on the path through guests).
import fleet_test  # noqa: E402
Check = fleet_test.Check


class Host:
    """This side of the guest's steps: after each case, what each display
    received since the case before; the CTS and SIGTERM cases' actions."""

    def __init__(self, guest):
        self.guest = guest
        self.displays = guest.displays
        self.marks = {port: 0 for port in self.displays}
        self.cases = {}
        self.watch = None
        self.last = time.monotonic()

    def Snapshot(self, case):
        taken = {}
        for port, display in self.displays.items():
            events = display.Events()
            taken[port] = {"events": events[self.marks[port]:], "record": display.StoredRecord(),
                           "baud": guests.HostBaud(display.link)}
            self.marks[port] = len(events)
        self.cases[case] = taken
        now = time.monotonic()
        print("  %-16s %5.1f s" % (case, now - self.last))
        self.last = now

    def EventsSinceMark(self, port):
        return self.displays[port].Events()[self.marks[port]:]

    def DropCtsAtQuery(self):
        # Once the display has the query, CTS goes down; its reply, a second
        # later, lets the program go on to the record.
        if any(e["event"] == "command" and e["name"] == "query" for e in self.EventsSinceMark(Uart)):
            Check(self.displays[Uart].Control("mode cts-down"), "cts-down not taken")
            return True
        return False

    def Tick(self, guest):
        if self.watch and self.watch():
            self.watch = None

    def Step(self, guest, step):
        uart = self.displays[Uart]
        if step.endswith("-end"):
            self.Snapshot(step[:-len("-end")])
        if step == "cts-held-begin":
            Check(uart.Control("reply-delay 1000"), "reply-delay not taken")
            self.watch = self.DropCtsAtQuery
        elif step == "cts-held-end":
            Check(self.watch is None, "the display never had the query before the write failed")
            self.watch = None
            Check(uart.Control("mode normal") and uart.Control("reply-delay 0"), "mode normal not taken")
        elif step == "sigterm-begin":
            Check(uart.Control("reply-delay 1500"), "reply-delay not taken")
        elif step == "sigterm-entered":
            Check(fleet.WaitUntil(lambda: any(e["event"] == "command" and e["name"] == "enter"
                                              for e in self.EventsSinceMark(Uart))), "no enter before SIGTERM")
        elif step == "sigterm-end":
            uart.Control("reply-delay 0")


def Commands(events):
    return [e for e in events if e["event"] == "command"]


def Received(events):
    return b"".join(bytes.fromhex(e["hex"]) for e in events if e["event"] == "rx")


def CheckCase(guest, host, case, rc):
    """The exit code, and every port's settings as they were."""
    seen = guest.ExitCode(case)
    Check(seen == rc, "%s: exit code %s, expected %d (%s)" % (case, seen, rc, guest.Result(case, "err").strip()))
    before, after = guest.Result(case, "before").split(), guest.Result(case, "after").split()
    changed = [port for port, was, now in zip(SettingsOrder, before, after) if was != now]
    Check(len(before) == len(SettingsOrder) and before == after,
          "%s: line settings changed on %s: %s -> %s" % (case, changed, before, after))
    return host.cases.get(case)


def CheckStoredExchange(taken, case, port, record):
    """Exactly enter, query, write, the record and exit reached the display,
    at the program's rate; it stored the record, left set-up mode, and the
    host's pty is back at the guest's own rate."""
    events = taken[port]["events"]
    expected = Enter + Query + Write + record + Exit
    received = Received(events)
    Check(received == expected, "%s: %s received %s, expected %s" % (case, port, received.hex(), expected.hex()))
    Check(taken[port]["record"] == record, "%s: %s stores %s" % (case, port, taken[port]["record"].hex()))
    commands = Commands(events)
    Check([c["name"] for c in commands] == ["enter", "query", "write", "exit"] and not commands[-1]["setup"],
          "%s: %s commands %s" % (case, port, [(c["name"], c["setup"]) for c in commands]))
    bauds = sorted({c["line"]["baud"] for c in commands})
    Check(bauds == [LineBaud], "%s: %s saw the commands at %s baud" % (case, port, bauds))
    Check(taken[port]["baud"] == SavedBaud, "%s: %s's pty at %s baud afterwards" % (case, port, taken[port]["baud"]))
    for other, seen in taken.items():
        Check(other == port or not Received(seen["events"]), "%s: %s received bytes too" % (case, other))


def CheckWrites(guest, host):
    record = fleet.ExpectedRecord(Speed, *Rows)
    factory = fleet.ExpectedRecord(FactorySpeed, *FactoryRows)
    for port in (Uart, Usb):
        for case, expected in (("%s-write" % port, record), ("%s-factory" % port, factory)):
            taken = CheckCase(guest, host, case, 0)
            if Check(taken is not None, "%s: no snapshot" % case):
                CheckStoredExchange(taken, case, port, expected)


def CheckFind(guest, host):
    taken = CheckCase(guest, host, "find", 0)
    answer = ParseJson(guest, "find")
    verdicts = {c.get("port"): c.get("verdict") for c in answer.get("candidates", [])}
    Check(answer.get("port") == "/dev/" + Uart, "find: port %r" % answer.get("port"))
    Check(verdicts == {"/dev/" + Uart: FoundVerdict, "/dev/" + Usb: FoundVerdict, "/dev/" + Silent: NoAnswerVerdict},
          "find: verdicts %s" % verdicts)
    if taken is None:
        return
    for port in (Uart, Usb, Silent):
        events = taken[port]["events"]
        received = Received(events)
        Check(received.startswith(Enter) and received.endswith(Exit) and Write not in received,
              "find: %s received %s" % (port, received.hex()))
        commands = Commands(events)
        Check(commands and not commands[-1]["setup"], "find: %s left in set-up mode" % port)
    Check(not any(e["event"] == "tx" for e in taken[Silent]["events"]), "find: the silent display answered")


def CheckHeldByCts(guest, host):
    """With CTS down the UART driver holds the record back: the write fails
    at its deadline (exit 4) and no byte of it arrives, not even when CTS
    comes up again; the next write is stored as it should be."""
    taken = CheckCase(guest, host, "cts-held", 4)
    if taken is not None:
        received = Received(taken[Uart]["events"])
        Check(received == Enter + Query, "cts-held: the display received %s" % received.hex())
        factory = fleet.ExpectedRecord(FactorySpeed, *FactoryRows)
        Check(taken[Uart]["record"] == factory, "cts-held: the display stores %s" % taken[Uart]["record"].hex())
    taken = CheckCase(guest, host, "cts-after", 0)
    if taken is not None:
        CheckStoredExchange(taken, "cts-after", Uart, fleet.ExpectedRecord(Speed, *AfterCtsRows))


def CheckSigterm(guest, host):
    # SIGTERM once the display has the enter command: the exchange runs to its
    # end, then the program exits with 128 + 15.
    taken = CheckCase(guest, host, "sigterm", 143)
    if taken is None:
        return
    commands = [c["name"] for c in Commands(taken[Uart]["events"])]
    Check(commands == ["enter", "query", "write", "exit"] and not Commands(taken[Uart]["events"])[-1]["setup"],
          "sigterm: the display's commands %s" % commands)
    answer = ParseJson(guest, "sigterm")
    Check(answer.get("interrupted") is True and answer.get("outcome") == StoredOutcome,
          "sigterm: the result %s" % answer)


def CheckConsoleLeftAlone(guest, host):
    CheckCase(guest, host, "find-all", 0)
    ports = [c.get("port") for c in ParseJson(guest, "find-all").get("candidates", [])]
    Check("/dev/ttyS0" not in ports, "find-all: the console was probed: %s" % ports)
    with open(guest.console, "rb") as console:
        Check(Enter not in console.read(), "find-all: the enter command went out on the console")


def ParseJson(guest, case):
    try:
        return json.loads(guest.Result(case, "out"))
    except ValueError:
        Check(False, "%s: no JSON result: %r" % (case, guest.Result(case, "out")[:200]))
        return {}


def Main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["--keep"]):
        sys.exit(__doc__)
    fleet.StopOnSignals()
    switches = {SwitchSigterm: os.environ.get(SwitchSigterm, "1") == "1",
                SwitchConsole: os.environ.get(SwitchConsole, "1") == "1"}
    if not guests.BuildImage():
        return 1
    directory = tempfile.mkdtemp(prefix="vfd-qemu-drivers-")
    guest = guests.Guest(directory, "drivers", sys.argv[1], serials=(Uart, Silent), usbs=(Usb,))
    host = Host(guest)
    guest.WriteEnvironment({"CLI": guest.Cli(), "ROW0": Rows[0], "ROW1": Rows[1], "SPEED": Speed,
                            "CASE_SIGTERM_FINISHES_EXCHANGE": int(switches[SwitchSigterm]),
                            "CASE_FIND_SKIPS_CONSOLE": int(switches[SwitchConsole])})
    try:
        if Check(guest.StartDisplays({Silent: "silent"}), "the emulators did not start"):
            guest.Boot(os.path.join(guests.Here, "drivers_guest.sh"))
            Check(guest.Run(host), "the guest did not end in time")
            print("  " + guest.Figures())
            for check, switch in ((CheckWrites, None), (CheckFind, None), (CheckHeldByCts, None),
                                  (CheckSigterm, SwitchSigterm), (CheckConsoleLeftAlone, SwitchConsole)):
                if switch is None or switches[switch]:
                    check(guest, host)
    except KeyboardInterrupt as interruption:
        Check(False, "interrupted (%s)" % interruption)
    finally:
        guest.Stop()
    for name, on in switches.items():
        if not on:
            print("  left out: %s (%s=0)" % (name[len("VFD_QEMU_CASE_"):].lower(), name))
    return fleet_test.Conclude("drivers test", directory)


if __name__ == "__main__":
    sys.exit(Main())

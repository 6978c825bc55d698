#!/usr/bin/python3
"""A terminal that keeps its own message: one QEMU guest (tools/qemu-guest)
boots systemd as PID 1 with the Debian package installed by dpkg (its
postinst enables the units), and tests/qemu/apply_guest.sh, a unit of the
test's own, goes through the cases below. The displays are emulators on this
machine: one on ttyS1 (the 8250 driver), and two USB adapters (QEMU's FT232,
ftdi_sio): a receipt printer there from power-on, which must never receive
a byte, and the display, plugged in and out through QEMU's monitor.
  boot       at boot vfdstartup-apply.service stores the file's message on ttyS1
  coldplug   the printer's adapter, seen at boot, is left alone
  (from here on a dialout member holds every lock file the units take that
  it can open: each case below must run as if it were not there)
  edit       an edit of the file (vfdstartup-apply.path) stores the new one
  same       the same content written anew sends nothing
  absent     the file names the USB display by a pattern, not plugged in: the
             unit fails with no_display (exit 3) and ttyS1, no longer named,
             gets nothing
  named      the file names it by its by-id link, not there yet: the unit
             fails with open_failed (no_such_port, exit 3)
  plugged    the display plugged in: the udev rule's vfdstartup-apply@ttyUSBn
             stores the message on it; status then exits 0 and lists it once,
             and node_exporter (its text file collector on the units'
             directory, scraped over the guest's loopback) serves one series
             per port, the display's with the stored outcome
  printer    the printer's adapter plugged in again: left alone
  replugged  the display pulled out and plugged in again: written once (it
             cannot be asked what it holds, and this is another attachment)
  kept       the same content written anew then sends nothing
  held       the display plugged in again while a dialout member's program
             holds it (opened, no lock file, no exclusive mode): the unit,
             looking into every account's processes, ends busy naming it,
             and the display receives nothing
  swapped    another display (the factory default on it) plugged in under
             the same by-id name: the message is stored on it
  removed    without a message file the unit is skipped
  unfiled    and so is the display's, plugged in once more
Each run's journal entry (journalctl -o json, each field matched whole; the
look saw every process: VFDSTARTUP_UNSEEN_PROCESSES=0),
journalctl -x's text from the package's catalog, and the metrics file the
unit rewrites in node_exporter's text file directory.

Usage: apply_test.py BUILD_DIR DEB [--keep]   (the linux preset's build, e.g.
build/linux, and the package scripts/package.sh --deb built from it)
"""
import json
import os
import re
import sys
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

import guests
from drivers_test import Enter, Query, Write, Exit, Received

fleet = guests.fleet
import fleet_test  # noqa: E402  (tests/fleet's way of keeping failed checks)

Check = fleet_test.Check

Uart = "ttyS1"
DisplaySerial, PrinterSerial = "VFD-DISPLAY-1", "RECEIPT-PRINTER-1"
BootUsb = "ftdi0"  # guest.sh boot --usb's device and chardev
DisplayById = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_%s-if00-port0" % DisplaySerial
Pattern = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_VFD-DISPLAY-*"
File = "/etc/vfdstartup/message.conf"
# The files the guest puts in place, each with its rows and speed.
Files = {
    "boot": (("Set at boot", "by vfdstartup-apply"), "200ms", "/dev/ttyS1"),
    "edit": (("Edited on the terminal", "  and applied"), "100ms", "/dev/ttyS1"),
    "usb": (("Plugged in", "on a USB display"), "500ms", Pattern),
    "named": (("Plugged in", "on a USB display"), "500ms", DisplayById),
}
PortLine = 4  # of each file below
Where = "%s:%d" % (File, PortLine)
ExporterPort = 19100  # node_exporter's, on the guest's own loopback
GuestSeconds = 240
GuestMemoryMb = 256  # systemd, journald and udevd besides the program
# Each case above: the unit's exit status (None: skipped, no message file),
# the program's line in its journal ("?": udev's ttyUSB number), and the
# display that stores which file's message (None: no display gets a byte).
Cases = (
    ("boot", 0, "stored on /dev/ttyS1", (Uart, "boot")),
    ("coldplug", 0, "left alone: /dev/ttyUSB0 (not the port /dev/ttyS1 of %s)" % Where, None),
    ("edit", 0, "stored on /dev/ttyS1", (Uart, "edit")),
    ("same", 0, "unchanged: the display on /dev/ttyS1 holds this message already", None),
    ("absent", 3, "error: no display found: no port matches %s (%s)" % (Pattern, Where), None),
    ("named", 3, "error: %s: no such port" % DisplayById, None),
    ("plugged", 0, "stored on " + DisplayById, ("display", "usb")),
    ("printer", 0, "left alone: /dev/ttyUSB? (not the port %s of %s)" % (DisplayById, Where), None),
    ("replugged", 0, "stored on " + DisplayById, ("display", "usb")),
    ("kept", 0, "unchanged: the display on %s holds this message already" % DisplayById, None),
    ("held", 3, "error: %s is busy: held by process ? (sleep)" % DisplayById, None),
    ("swapped", 0, "stored on " + DisplayById, ("other", "usb")),
    ("removed", None, None, None),
    ("unfiled", None, None, None),
)


# What each case's run tells the journal and the metrics file: its outcome
# and port (a regular expression; "" for a run that reached no port), and
# the port's reason when not "none". A port left alone is not the display's:
# the metrics file names no run there.
Told = {
    "boot": ("stored", "/dev/ttyS1"),
    "coldplug": ("left_alone", "/dev/ttyUSB0"),
    "edit": ("stored", "/dev/ttyS1"),
    "same": ("unchanged", "/dev/ttyS1"),
    "absent": ("no_display", ""),
    "named": ("open_failed", re.escape(DisplayById), "no_such_port"),
    "plugged": ("stored", re.escape(DisplayById)),
    "printer": ("left_alone", r"/dev/ttyUSB\d+"),
    "replugged": ("stored", re.escape(DisplayById)),
    "kept": ("unchanged", re.escape(DisplayById)),
    "held": ("open_failed", re.escape(DisplayById), "busy"),
    "swapped": ("stored", re.escape(DisplayById)),
}
MessageIds = {"stored": "8bb47087b923442dbcd113afa25173c0", "unchanged": "7b1b2b689be643f39a0e6b36e42a5edd",
              "left_alone": "d31284abff6a40c3ad2593fdf9f74906", "no_display": "bd601b1007554098871357501334248c",
              "open_failed": "e54ff064a7c94d4da641a524ecbacbce"}
# The catalog's subject of each outcome, as journalctl -x shows it.
Subjects = {"stored": "The display on %s stored its startup message",
            "unchanged": "The display on %s holds the message already",
            "left_alone": "The port %s was left alone", "no_display": "No display was found",
            "open_failed": "The port %s could not be used ({reason})"}


def FileText(name):
    (row0, row1), speed, port = Files[name]
    return '# %s\nrow0 = "%s"\nrow1 = "%s"\nport = %s\nspeed = %s\n' % (name, row0, row1, port, speed)


def Record(name):
    rows, speed, _ = Files[name]
    return fleet.ExpectedRecord(speed, *rows)


class Host:
    """This side of the guest's steps: plugs the USB adapters in and out,
    and after each case takes what each display received since the last."""

    def __init__(self, guest, usb, qmp):
        self.guest, self.qmp = guest, qmp
        self.displays = dict(guest.displays, **usb)
        self.marks = {name: 0 for name in self.displays}
        self.cases = {}
        self.chardevs = {BootUsb}

    def Plug(self, name, serial, chardev):
        if chardev not in self.chardevs:
            backend = {"type": "serial", "data": {"device": self.displays[name].link}}
            Check(self.qmp.Execute("chardev-add", id=chardev, backend=backend) is not None, "chardev-add %s" % name)
            self.chardevs.add(chardev)
        Check(self.qmp.Execute("device_add", driver="usb-serial", id=name, bus="xhci.0", chardev=chardev, serial=serial)
              is not None, "device_add %s" % name)

    def Unplug(self, name):
        Check(self.qmp.Execute("device_del", id=name) is not None, "device_del %s" % name)
        Check(self.qmp.WaitForEvent("DEVICE_DELETED", name), "%s never went away" % name)

    def Snapshot(self, case):
        taken = {}
        for name, display in self.displays.items():
            events = display.Events()
            taken[name] = {"events": events[self.marks[name]:], "record": display.StoredRecord()}
            self.marks[name] = len(events)
        self.cases[case] = taken

    def Step(self, guest, step):
        if step.startswith("plug-display"):
            self.Plug("display", DisplaySerial, "display")
        elif step == "replug-printer":
            self.Unplug(BootUsb)
            self.Plug("printer", PrinterSerial, BootUsb)
        elif step.startswith("unplug-display"):
            self.Unplug("display")
        elif step == "plug-other-display":
            self.Plug("other", DisplaySerial, "other")
        elif step == "unplug-other-display":
            self.Unplug("other")
        else:
            self.Snapshot(step)
        print("  %-15s %5.1f s" % (step, time.monotonic() - guest.started))

    def Tick(self, guest):
        pass


def Nothing(taken, case, names):
    for name in names:
        received = Received(taken.get(name, {}).get("events", []))
        Check(not received, "%s: the %s received %s" % (case, name, received.hex()))


def StoredOnly(taken, case, name, record):
    """Exactly the exchange of one write on that display, nothing elsewhere."""
    got = taken.get(name, {})
    received = Received(got.get("events", []))
    Check(received == Enter + Query + Write + record + Exit, "%s: the %s received %s" % (case, name, received.hex()))
    Check(got.get("record") == record, "%s: the %s stores %s" % (case, name, (got.get("record") or b"").hex()))
    Nothing(taken, case, [other for other in taken if other != name])


def CheckHardened(state, case):
    """As the man page says the units run."""
    expected = {"Group": "dialout", "ProtectSystem": "strict", "NoNewPrivileges": "yes", "PrivateTmp": "yes",
                "PrivateNetwork": "yes", "CapabilityBoundingSet": "cap_dac_read_search cap_fowner cap_sys_ptrace",
                "TimeoutStartUSec": "2min"}
    got = {key: state.get(key) for key in expected}
    Check(got == expected, "%s: the unit runs with %s" % (case, got))


def CheckTold(guest, case):
    """The run's journal entry, each field matched whole, its catalog text,
    and its line in the metrics file the hardened unit may write."""
    outcome, port, reason = (Told[case] + ("none",))[:3]
    fields = {}
    for line in guest.Result(case, "fields").splitlines():
        fields = json.loads(line)
    Check(fields.get("VFDSTARTUP_OUTCOME") == outcome and re.fullmatch(port, fields.get("VFDSTARTUP_PORT", "-")) and
          fields.get("VFDSTARTUP_COMMAND") == "apply" and fields.get("VFDSTARTUP_REASON") == reason and
          fields.get("VFDSTARTUP_UNSEEN_PROCESSES") == "0" and
          fields.get("MESSAGE_ID") == MessageIds[outcome] and fields.get("SYSLOG_IDENTIFIER") == "vfdstartup-cli",
          "%s: the journal's entry %s" % (case, fields))
    subject = re.escape(Subjects[outcome].replace("{reason}", reason)).replace(re.escape("%s"), port)
    explained = guest.Result(case, "explained")
    Check(any(re.fullmatch(r"\W* Subject: " + subject, line) for line in explained.splitlines()),
          "%s: journalctl -x explains nothing:\n%s" % (case, explained))
    metrics = guest.Result(case, "prom")
    series = r'vfdstartup_last_outcome\{port="%s",outcome="%s"\} 1' % (port, outcome)
    named = any(re.fullmatch(series, line) for line in metrics.splitlines())
    Check(named != (outcome == "left_alone") and "# TYPE vfdstartup_message_kept gauge" in metrics,
          "%s: the metrics file:\n%s" % (case, metrics))


def CheckOneRecord(guest):
    """Named before it was plugged in, the display is one record: status
    exits 0 and lists it once, and node_exporter serves one series per port
    (the display's with the stored outcome), as status says."""
    status = json.loads(guest.Result("plugged.status", "out") or "{}")
    listed = [port for port in status.get("ports", []) if port["port"] == DisplayById]
    Check(guest.ExitCode("plugged.status") == 0 and len(listed) == 1 and listed[0]["last_run"]["outcome"] == "stored",
          "plugged: status exits %s with %s" % (guest.ExitCode("plugged.status"), status))
    samples = {}
    for family in text_string_to_metric_families(guest.Result("plugged", "scrape")):
        samples[family.name] = family.samples
    served = [(name, tuple(sorted(s.labels.items()))) for name in samples if name.startswith("vfdstartup_")
              for s in samples[name]]
    outcomes = {(s.labels["port"], s.labels["outcome"]) for s in samples.get("vfdstartup_last_outcome", [])}
    told = {(port["port"], port["last_run"]["outcome"]) for port in status.get("ports", []) if port["last_run"]}
    errors = [s.value for s in samples.get("node_textfile_scrape_error", [])]
    log = guest.Result("plugged", "exporter-log")
    Check(served and len(served) == len(set(served)) and outcomes == told and (DisplayById, "stored") in outcomes and
          errors == [0.0] and "collected before" not in log,
          "plugged: node_exporter serves %s (scrape error %s), status says %s\n%s" % (served, errors, told, log))


def CheckCases(guest, host):
    if not Check("boot" in host.cases, "the guest never reached its first case (see %s)" % guest.console):
        return
    for case, status, line, stored in Cases:
        state = dict(l.split("=", 1) for l in guest.Result(case, "state").split("\n") if "=" in l)
        if status is None:
            Check(state.get("ConditionResult") == "no", "%s: the unit ran without a message file: %s" % (case, state))
        else:
            Check(state.get("ExecMainStatus") == str(status) and (status != 0 or state.get("Result") == "success"),
                  "%s: the unit's state %s" % (case, state))
            CheckHardened(state, case)
            CheckTold(guest, case)
        journal = guest.Result(case, "journal")
        pattern = re.escape(line or "").replace(re.escape("?"), r"\d+")
        Check(line is None or any(re.fullmatch(pattern, l) for l in journal.splitlines()),
              "%s: no line %r in the unit's journal:\n%s" % (case, line, journal))
        taken = host.cases.get(case, {})
        if stored:
            StoredOnly(taken, case, stored[0], Record(stored[1]))
        else:
            Nothing(taken, case, host.displays)
    Check(not Received(host.displays["printer"].Events()), "the printer received bytes")
    CheckOneRecord(guest)
    holder = guest.Result("held", "holder").strip()
    Check(holder and "held by process %s (sleep)" % holder in guest.Result("held", "journal"),
          "held: the journal does not name the holder, process %r" % holder)


def PrepareGuest(guest, deb):
    for name in Files:
        with open(os.path.join(guest.out, name + ".conf"), "w") as conf:
            conf.write(FileText(name))
    guest.WriteEnvironment({"DEB": os.path.abspath(deb), "DISPLAY_SERIAL": DisplaySerial,
                            "PRINTER_SERIAL": PrinterSerial, "EXPORTER_PORT": ExporterPort})


def Main():
    if len(sys.argv) not in (3, 4) or sys.argv[3:] not in ([], ["--keep"]):
        sys.exit(__doc__)
    fleet.StopOnSignals()
    if not guests.BuildImage():
        return 1
    directory = tempfile.mkdtemp(prefix="vfd-qemu-apply-")
    guest = guests.Guest(directory, "apply", sys.argv[1], serials=(Uart,), usbs=("printer",))
    usb = {name: fleet.Terminal(guest.dir, name) for name in ("display", "other")}
    qmp = guests.Qmp(os.path.join(guest.dir, "qmp.sock"))
    host = Host(guest, usb, qmp)
    PrepareGuest(guest, sys.argv[2])
    try:
        emulator = os.path.join(guest.build, "tools-bin", "vfd-emulator")
        for terminal in usb.values():
            terminal.Start(emulator)
        if Check(guest.StartDisplays() and all(fleet.WaitUntil(lambda t=t: '"event":"start"' in fleet.TextOf(t.log))
                                               for t in usb.values()), "the emulators did not start"):
            guest.Boot(None, ["--systemd", "multi-user.target", "--prepare", "tests/qemu/apply_prepare.sh",
                              "--qmp", qmp.path, "--memory", str(GuestMemoryMb)])
            Check(guest.Run(host, GuestSeconds), "the guest did not end in time")
            print("  " + guest.Figures())
            CheckCases(guest, host)
    except KeyboardInterrupt as interruption:
        Check(False, "interrupted (%s)" % interruption)
    finally:
        qmp.Close()
        guest.Stop()
        for terminal in usb.values():
            terminal.Stop()
    return fleet_test.Conclude("apply test", directory)


if __name__ == "__main__":
    sys.exit(Main())

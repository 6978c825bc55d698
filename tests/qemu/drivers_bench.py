#!/usr/bin/python3
"""Figures, not a test (run through scripts/bench-drivers.sh):

1. One write through each real driver in a QEMU guest (ttyS1: 8250 UART,
   ttyUSB0: ftdi_sio) next to the same write on a pty on this machine. The
   exchange (the display's enter command to its exit command, from the
   emulator's log, so on this machine's clock) is what the drivers change;
   goal: within 10 % of the pty's. The whole run (process start to exit) is
   shown too: in the guest it carries TCG's cost of starting a program.
2. A rollout of a new message to three terminals (forks 2): over SSH to
   three guests, next to the same rollout with local connections (tests/fleet).

Usage: drivers_bench.py BUILD_DIR [WRITES] [ROLLOUTS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import guests

fleet = guests.fleet
import fleet_ssh_test  # noqa: E402

Goal = 1.10


def Median(values):
    return statistics.median(values) if values else float("nan")


def Exchanges(events):
    # Per exchange: the enter command to the exit command, in seconds.
    spans, start = [], None
    for event in events:
        if event["event"] != "command":
            continue
        if event["name"] == "enter":
            start = event["t"]
        elif event["name"] == "exit" and start is not None:
            spans.append(event["t"] - start)
            start = None
    return spans


def PtyWrites(build, directory, writes):
    display = fleet.Terminal(directory, "pty")
    display.Start(os.path.join(build, "tools-bin", "vfd-emulator"))
    environment = dict(os.environ, LD_PRELOAD=os.path.join(build, "tools-bin", "lib", "x86_64-linux-gnu",
                                                           "libvfd_modem_lines.so"))
    walls, codes = [], []
    try:
        fleet.WaitUntil(lambda: os.path.exists(display.link))
        for i in range(writes):
            start = time.monotonic()
            done = subprocess.run([os.path.join(build, "src", "cli", "vfdstartup-cli"), "write", "--port", display.link,
                                   "--row0", "bench pty", "--row1", "run %d" % (i + 1), "--state-dir",
                                   os.path.join(directory, "state")], env=environment, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            walls.append(time.monotonic() - start)
            codes.append(done.returncode)
        return walls, Exchanges(display.Events()), codes
    finally:
        display.Stop()


def GuestWrites(build, directory, writes):
    guest = guests.Guest(directory, "bench", build, serials=("ttyS1",), usbs=("ttyUSB0",))
    guest.WriteEnvironment({"CLI": guest.Cli(), "WRITES": writes})
    try:
        if not guest.StartDisplays():
            sys.exit("the emulators did not start")
        guest.Boot(os.path.join(guests.Here, "bench_guest.sh"))
        if not guest.Run():
            sys.exit("the guest did not end in time")
        times = [line.split() for line in fleet.TextOf(os.path.join(guest.out, "times")).splitlines()]
        figures = {}
        for port in ("ttyS1", "ttyUSB0"):
            walls = [int(ms) / 1000 for dev, ms, rc in times if dev == port]
            codes = [int(rc) for dev, ms, rc in times if dev == port]
            figures[port] = (walls, Exchanges(guest.displays[port].Events()), codes)
        return figures, guest.Figures()
    finally:
        guest.Stop()


def BenchDrivers(build, writes):
    directory = tempfile.mkdtemp(prefix="vfd-qemu-bench-")
    pty = PtyWrites(build, directory, writes)
    drivers, guestFigures = GuestWrites(build, directory, writes)
    subprocess.run(["rm", "-rf", directory])
    print("\none write, %d runs each, median (min..max) in ms; the exchange is enter to exit on the display's clock"
          % writes)
    print("%-32s %18s %18s %10s" % ("path", "exchange", "whole run", "exchange"))
    print("%-32s %18s %18s %10s" % ("", "", "", "x pty"))
    ptyExchange = Median(pty[1])
    for label, (walls, exchanges, codes) in [("pty (this machine)", pty)] + [
            ("%s in the guest (%s)" % (port, "8250" if port == "ttyS1" else "ftdi_sio"), drivers[port])
            for port in ("ttyS1", "ttyUSB0")]:
        failed = sum(1 for rc in codes if rc != 0)
        print("%-32s %18s %18s %10.2f%s" % (label, Spread(exchanges), Spread(walls), Median(exchanges) / ptyExchange,
                                            "   %d runs failed" % failed if failed else ""))
    print("goal: each driver's exchange within %.2f x the pty's (the whole run in the guest adds TCG's start of the"
          " program)" % Goal)
    print(guestFigures)


def Spread(seconds):
    if not seconds:
        return "-"
    ms = [s * 1000 for s in seconds]
    return "%d (%d..%d)" % (Median(ms), min(ms), max(ms))


def BenchFleet(build, rollouts):
    print("\nrollout of a new message to 3 terminals, --forks %d, %d runs after a first one" % (fleet_ssh_test.Forks,
                                                                                              rollouts))
    results = {}
    sshFleet = fleet_ssh_test.SshFleet(build, 3)
    localFleet = fleet.Fleet(build, 3)
    try:
        if not sshFleet.Start() or not localFleet.Start():
            sys.exit("the fleets did not start")
        for name, theFleet in (("SSH to QEMU guests", sshFleet), ("local connection (tests/fleet)", localFleet)):
            first = theFleet.Rollout(("bench first", name), "100ms", forks=fleet_ssh_test.Forks)
            walls, problems = [], [] if first.rc == 0 else ["first run: exit code %d" % first.rc]
            for run in range(rollouts):
                result = theFleet.Rollout(("bench %d" % run, name), "100ms", forks=fleet_ssh_test.Forks)
                walls.append(result.seconds)
                if result.rc != 0:
                    problems.append("run %d: exit code %d" % (run, result.rc))
            results[name] = (first.seconds, walls, problems)
    finally:
        sshFleet.Stop()
        localFleet.Stop()
    local = Median(results["local connection (tests/fleet)"][1])
    for name, (first, walls, problems) in results.items():
        print("  %-32s first %5.1f s, then median %5.1f s (%s) = %.1f x local  %s" % (
            name, first, Median(walls), " ".join("%.1f" % w for w in walls), Median(walls) / local,
            "; ".join(problems)))
    print("  guests: %s" % "; ".join(g.Figures() for g in sshFleet.guests))


def Main():
    if len(sys.argv) not in (2, 3, 4):
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    writes = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    rollouts = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    fleet.StopOnSignals()
    if not guests.BuildImage():
        sys.exit(1)
    print("machine: %d processors, load %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))
    BenchDrivers(build, writes)
    BenchFleet(build, rollouts)


if __name__ == "__main__":
    Main()

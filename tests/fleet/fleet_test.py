#!/usr/bin/python3
"""The rollout playbook (deploy/ansible/rollout.yml) with real Ansible against
six emulated terminals on this machine, run at once (forks 6). What each
display received and stored is read from its emulator's log and record file,
not taken from Ansible's word. t2 and t6 take the role's Windows path, with a
stand-in for win_command.

Usage: fleet_test.py BUILD_DIR   (the linux preset's build, e.g. build/linux)
"""
import sys

import fleet

Terminals = 6
WindowsHosts = ("t2", "t6")
SilentHost, WrongTypeHost = "t5", "t6"
WrongType = "CU20029T307A02 "
# The module's boxes for another product type, as the dialog words them.
IncompatibleCaption = "Error: Incompatible VFD module"
IncompatibleText = "VFD Module must be CU20029-T307A-01"
WriteFailedCaption = "Startup Message write failed"
LineEvents = ("open", "rx", "tx", "command", "record")

MessageA = (("Store 12 welcomes you", "Open 8-22 every day"), "200ms")
# A full 63-character row, and a row that reads like an option and holds a
# character the display cannot show (the row is cut there, with a warning).
MessageB = (("Q" + "0123456789" * 6 + "XY", "--port -- 50% off -- Cr\u00e8me"), "<10ms")
MessageBStored = ("Q" + "0123456789" * 6 + "XY", "--port -- 50% off -- Cr")
CutWarning = "[WARNING]: row 1 goes to the display as '--port -- 50% off -- Cr'"
MessageC = (("Winter sale", "Thank you"), "500ms")

Failures = []


def Check(condition, what):
    if not condition:
        Failures.append(what)
        print("  FAILED: " + what)
    return condition


def LineEventsSince(terminal, marks):
    return [e for e in terminal.Events()[marks[terminal.name]:] if e["event"] in LineEvents]


def Marks(theFleet):
    return {t.name: len(t.Events()) for t in theFleet.terminals}


def CheckRecap(run, expected, stage):
    # expected: host -> "changed", "ok" or "failed"
    for host, verdict in expected.items():
        recap = run.recap.get(host)
        if not Check(recap is not None, "%s: %s has no line in the play recap" % (stage, host)):
            continue
        got = "failed" if recap["failed"] else "changed" if recap["changed"] else "ok"
        Check(got == verdict, "%s: %s is %s, expected %s (%s)" % (stage, host, got, verdict, recap))


def CheckStored(terminals, message, stage, storedRows=None):
    expected = fleet.ExpectedRecord(message[1], *(storedRows or message[0]))
    for terminal in terminals:
        stored = terminal.StoredRecord()
        differ = [i for i in range(len(expected)) if stored[i:i + 1] != expected[i:i + 1]]
        Check(len(stored) == len(expected) and not differ,
              "%s: %s stores %d bytes, first difference at byte %s" % (stage, terminal.name, len(stored), differ[:1]))


def CheckNothingSent(theFleet, marks, stage):
    for terminal in theFleet.terminals:
        events = LineEventsSince(terminal, marks)
        Check(not events, "%s: %s's display saw %s" % (stage, terminal.name, [e["event"] for e in events]))


def Stage(name, theFleet, message, expected, check=False):
    print("--- " + name)
    before = len(Failures)
    marks = Marks(theFleet)
    run = theFleet.Rollout(message[0], message[1], check=check)
    print("  ansible-playbook exit code %d, %.1f s" % (run.rc, run.seconds))
    failing = [host for host, verdict in expected.items() if verdict == "failed"]
    Check(run.rc == (2 if failing else 0), "%s: ansible-playbook exit code %d" % (name, run.rc))
    CheckRecap(run, expected, name)
    if len(Failures) > before:
        print(run.output)
    return run, marks


def CheckLeftSetupMode(terminal, marks, stage):
    commands = [e for e in LineEventsSince(terminal, marks) if e["event"] == "command"]
    names = [c["name"] for c in commands]
    Check("enter" in names and names[-1] == "exit" and not commands[-1]["setup"],
          "%s: %s's display was left in set-up mode: %s" % (stage, terminal.name, names))
    Check("write" not in names, "%s: %s's display got a write: %s" % (stage, terminal.name, names))


def Everyone(theFleet, verdict, exceptions=None):
    expected = {t.name: verdict for t in theFleet.terminals}
    expected.update(exceptions or {})
    return expected


def FirstRollout(theFleet):
    Stage("first rollout: every display stores the record", theFleet, MessageA, Everyone(theFleet, "changed"))
    CheckStored(theFleet.terminals, MessageA, "first rollout")


def SameMessageAgain(theFleet):
    run, marks = Stage("same message again: nothing sent", theFleet, MessageA, Everyone(theFleet, "ok"))
    CheckNothingSent(theFleet, marks, "same message")


def NewMessage(theFleet):
    run, marks = Stage("new message: every display changes", theFleet, MessageB, Everyone(theFleet, "changed"))
    CheckStored(theFleet.terminals, MessageB, "new message", MessageBStored)
    Check(CutWarning in run.output, "new message: no warning of the cut row")


def FaultyDisplays(theFleet):
    byName = {t.name: t for t in theFleet.terminals}
    faulty = [byName[SilentHost], byName[WrongTypeHost]]
    Check(byName[SilentHost].Control("mode silent"), "silent mode not taken")
    Check(byName[WrongTypeHost].Control('product-type "%s"' % WrongType), "product type not taken")
    expected = Everyone(theFleet, "changed", {SilentHost: "failed", WrongTypeHost: "failed"})
    run, marks = Stage("a silent display and another product type", theFleet, MessageC, expected)
    CheckStored([t for t in theFleet.terminals if t not in faulty], MessageC, "faulty displays")
    CheckStored(faulty, MessageB, "faulty displays keep", MessageBStored)
    for terminal in faulty:
        CheckLeftSetupMode(terminal, marks, "faulty displays")
    wrongType = run.failures.get(WrongTypeHost, {}).get("msg", "")
    for part in (IncompatibleCaption, WrongType.strip(), IncompatibleText, WriteFailedCaption):
        Check(part in wrongType, "%s's failure lacks %r: %r" % (WrongTypeHost, part, wrongType))
    silent = run.failures.get(SilentHost, {}).get("msg", "")
    for part in ("no display found", byName[SilentHost].link, "no_answer"):
        Check(part in silent, "%s's failure lacks %r: %r" % (SilentHost, part, silent))


def CheckMode(theFleet):
    # The faulty two still keep the older record, so they would change.
    expected = Everyone(theFleet, "ok", {SilentHost: "changed", WrongTypeHost: "changed"})
    run, marks = Stage("--check: what would change, no byte on any line", theFleet, MessageC, expected, check=True)
    CheckNothingSent(theFleet, marks, "--check")


def RunStages(theFleet):
    # Each stage starts from the state the one before left; stop at the first that fails.
    for stage in (FirstRollout, SameMessageAgain, NewMessage, FaultyDisplays, CheckMode):
        stage(theFleet)
        if Failures:
            return


def Main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fleet.StopOnSignals()
    theFleet = fleet.Fleet(sys.argv[1], Terminals, WindowsHosts)
    try:
        if Check(theFleet.Start(), "the emulators did not start"):
            RunStages(theFleet)
    except KeyboardInterrupt as interruption:
        Check(False, "interrupted (%s)" % interruption)
    finally:
        theFleet.Stop(keepFiles=bool(Failures))
    if Failures:
        print("fleet test: %d check(s) failed; files kept in %s" % (len(Failures), theFleet.dir))
        return 1
    print("fleet test: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(Main())

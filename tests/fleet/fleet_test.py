#!/usr/bin/python3
"""The rollout playbook (deploy/ansible/rollout.yml) with real Ansible against
six emulated terminals on this machine, run at once (forks 6). What each
display received and stored is read from its emulator's log and record file,
not taken from Ansible's word. t2 and t6 take the role's Windows path, with a
stand-in for win_command.

Usage: fleet_test.py BUILD_DIR   (the linux preset's build, e.g. build/linux)
"""
import os
import shutil
import subprocess
import sys

import fleet

Terminals = 6
WindowsHosts = ("t2", "t6")
# The silent display is on a Windows host, the other product type on a
# Linux one, whose task passes on the dialog's boxes.
SilentHost, WrongTypeHost = "t6", "t5"
WrongType = "CU20029T307A02 "
LineEvents = ("open", "rx", "tx", "command", "record")

MessageA = (("Store 12 welcomes you", "Open 8-22 every day"), "200ms")
# A full 63-character row, and a row that reads like an option and holds a
# letter the display cannot show (written in ASCII, with a warning).
MessageB = (("Q" + "0123456789" * 6 + "XY", "--port -- 50% off -- Cr\u00e8me"), "<10ms")
MessageBStored = ("Q" + "0123456789" * 6 + "XY", "--port -- 50% off -- Creme")
RowWarning = '[WARNING]: row 1 is stored as "--port -- 50% off -- Creme"'
NoObject = "#!/bin/sh\necho '[]'\n"
MessageC = (("Winter sale", "Thank you"), "500ms")
MessageWithLine = (("Sale", 'today"\nport = /dev/ttyS0\n#'), "200ms")
MessageTooLong = (("Caf\u00e9 " + "0123456789" * 6, "Thank you"), "200ms")  # 68 characters as stored

Failures = []


def Check(condition, what):
    if not condition:
        Failures.append(what)
        print("  FAILED: " + what)
    return condition


def Conclude(test, directory):
    """The test's last lines and exit code; its files stay where it failed
    (or with --keep)."""
    if Failures:
        print("%s: %d check(s) failed; files kept in %s" % (test, len(Failures), directory))
        return 1
    if "--keep" in sys.argv:
        print("%s: files in %s" % (test, directory))
    else:
        shutil.rmtree(directory, ignore_errors=True)
    print("%s: all checks passed" % test)
    return 0


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


def Stage(name, theFleet, message, expected, check=False, extraVars=None, extraArgs=(), playbook="rollout.yml"):
    print("--- " + name)
    before = len(Failures)
    marks = Marks(theFleet)
    run = theFleet.Rollout(message[0], message[1], check=check, extraVars=extraVars, extraArgs=extraArgs,
                           playbook=playbook)
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
    run, marks = Stage("new message: every display changes", theFleet, MessageB, Everyone(theFleet, "changed"),
                       extraArgs=["--diff"])
    CheckStored(theFleet.terminals, MessageB, "new message", MessageBStored)
    Check(RowWarning in run.output, "new message: no warning of the transliterated row")
    # Diff mode: the rows kept before the run, the rows to store.
    for line in ("-" + MessageA[0][0], "+" + MessageBStored[1]):
        Check(line in run.output.splitlines(), "new message: the diff lacks %r" % line)


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
    # The program's own line for each, on the Windows path and the module's
    # alike; the module passes on the outcome and the dialog's boxes.
    wrongType = run.failures.get(WrongTypeHost, {})
    Check(wrongType.get("msg") == 'the module on %s is product type "%s"; only CU20029T307A01 modules are written'
          % (byName[WrongTypeHost].link, WrongType) and wrongType.get("outcome") == "incompatible",
          "%s's failure: %r" % (WrongTypeHost, wrongType.get("msg")))
    captions = [m.get("caption") for m in wrongType.get("messages") or []]
    Check(captions == ["Error: Incompatible VFD module", "Startup Message write failed"],
          "%s's messages: %r" % (WrongTypeHost, captions))
    silent = run.failures.get(SilentHost, {}).get("msg", "")
    Check(silent == "no display answered on %s (waited 5 s)" % byName[SilentHost].link,
          "%s's failure: %r" % (SilentHost, silent))


def CheckMode(theFleet):
    # The faulty two lost their kept record when the last write was tried: as
    # a real run would, --check looks for their displays and asks them what a
    # write asks (set-up mode, product type; no record). Both fail as a real
    # run would. The rest keep the record: nothing reaches their lines.
    byName = {t.name: t for t in theFleet.terminals}
    expected = Everyone(theFleet, "ok", {SilentHost: "failed", WrongTypeHost: "failed"})
    run, marks = Stage("--check: the decision of a real run, no record sent", theFleet, MessageC, expected, check=True)
    CheckNothingSent(Subfleet(theFleet, (SilentHost, WrongTypeHost)), marks, "--check")
    for name in (SilentHost, WrongTypeHost):
        CheckLeftSetupMode(byName[name], marks, "--check")
    Check(run.failures.get(WrongTypeHost, {}).get("outcome") == "incompatible",
          "--check: %s's failure: %r" % (WrongTypeHost, run.failures.get(WrongTypeHost)))


def RowsNoProgramTakes(theFleet):
    # A NUL and a lone surrogate (escapes a YAML or JSON file can hold) fail
    # the task naming the row, on both paths; nothing reaches any display.
    message = (("Sale\x00 now", "Caf\ud800"), "300ms")
    run, marks = Stage("rows no program argument can carry", theFleet, message, Everyone(theFleet, "failed"))
    CheckNothingSent(theFleet, marks, "bad rows")
    for host in (t.name for t in theFleet.terminals):
        failure = run.failures.get(host, {}).get("msg", "")
        Check(failure.startswith("row 0 holds a NUL character (\\x00)") and "; row 1 holds " in failure and
              "lone surrogate" in failure, "%s failed otherwise: %r" % (host, failure))
    for text in ("Traceback", "embedded null byte"):
        Check(text not in run.output, "bad rows: %r in the output" % text)


class Subfleet:
    # The fleet's terminals but the ones named.
    def __init__(self, theFleet, leftOut):
        self.terminals = [t for t in theFleet.terminals if t.name not in leftOut]


def NoJsonObject(theFleet):
    # A program that answers JSON but no object fails the task, not the module.
    script = theFleet.dir + "/no-object.sh"
    with open(script, "w") as file:
        file.write(NoObject)
    os.chmod(script, 0o755)
    expected = Everyone(theFleet, "failed")
    run, marks = Stage("a program that answers no JSON object", theFleet, MessageA, expected,
                       extraVars={"vfdstartup_executable": script})
    for host in (t.name for t in theFleet.terminals):
        Check("gave no JSON result object" in run.failures.get(host, {}).get("msg", ""),
              "%s failed otherwise: %r" % (host, run.failures.get(host)))
    Check("Traceback" not in run.output, "a traceback in the output")


def CheckMessageFiles(cli, terminals, message, stage):
    """Root's, 0644, with the message's rows, and valid to the program."""
    for terminal in terminals:
        info = os.stat(terminal.messageFile)
        Check((info.st_uid, info.st_gid, info.st_mode & 0o7777) == (0, 0, 0o644),
              "%s: %s's file is %d:%d %o" % (stage, terminal.name, info.st_uid, info.st_gid, info.st_mode & 0o7777))
        text = fleet.TextOf(terminal.messageFile)
        Check(all('"%s"' % row in text for row in message[0]) and "speed = %s\n" % message[1] in text,
              "%s: %s's file reads %r" % (stage, terminal.name, text))
        valid = subprocess.run([cli, "apply", "--validate", "--config", terminal.messageFile],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
        Check(valid.returncode == 0, "%s: %s's file is not valid: %s" % (stage, terminal.name, valid.stderr))


def PullMode(theFleet):
    """The message file delivered to the Linux terminals (their units, which
    this machine does not run, are left out), checked before it replaces the
    old one; the role itself sends nothing to any display."""
    pulling = Subfleet(theFleet, WindowsHosts)
    pull = {"vfdstartup_mode": "pull", "vfdstartup_apply_units": False}
    limit = ["--limit", ",".join(t.name for t in pulling.terminals)]
    run, marks = Stage("pull mode: each terminal gets its message file", theFleet, MessageA,
                       Everyone(pulling, "changed"), extraVars=pull, extraArgs=limit)
    CheckNothingSent(pulling, marks, "pull mode")
    CheckMessageFiles(theFleet.cli, pulling.terminals, MessageA, "pull mode")
    before = {t.name: fleet.TextOf(t.messageFile) for t in pulling.terminals}
    run, marks = Stage("pull mode: a message the program refuses replaces nothing", theFleet, MessageTooLong,
                       Everyone(pulling, "failed"), extraVars=dict(pull, vfdstartup_strict=True), extraArgs=limit)
    refusals = [(run, "failed to validate")]
    # Any value that would add a line of its own to the file (another port)
    # never gets there: the rows, the speed and the port alike.
    for what, message, extra in (("a row", MessageWithLine, {}),
                                 ("the speed", (MessageA[0], "200ms\nport = /dev/ttyS0"), {}),
                                 ("the port", MessageA, {"vfdstartup_port": "/dev/ttyUSB0\n# x"})):
        refused, marks = Stage("pull mode: %s with a line break replaces nothing" % what, theFleet, message,
                               Everyone(pulling, "failed"), extraVars=dict(pull, **extra), extraArgs=limit)
        refusals.append((refused, "without line breaks"))
    # Each mode on its own platform only: policy mode on a Linux terminal and
    # pull mode on a Windows one fail the mode's check, and nothing is sent.
    windows = Subfleet(theFleet, [t.name for t in pulling.terminals])
    for mode, hosts, why in (("policy", pulling, "(Windows terminals) policy"), ("pull", windows, "on Linux terminals")):
        wrong, marks = Stage("%s mode on the other platform's terminals" % mode, theFleet, MessageA,
                             Everyone(hosts, "failed"), extraVars=dict(pull, vfdstartup_mode=mode),
                             extraArgs=["--limit", ",".join(t.name for t in hosts.terminals)])
        CheckNothingSent(hosts, marks, mode + " mode on the other platform")
        for terminal in hosts.terminals:
            Check(why in wrong.failures.get(terminal.name, {}).get("msg", ""), "%s mode on %s failed otherwise: %r" %
                  (mode, terminal.name, wrong.failures.get(terminal.name)))
    for terminal in pulling.terminals:
        Check(fleet.TextOf(terminal.messageFile) == before[terminal.name], "%s's file was replaced" % terminal.name)
        for refused, why in refusals:
            Check(why in refused.failures.get(terminal.name, {}).get("msg", ""),
                  "%s failed otherwise: %r" % (terminal.name, refused.failures.get(terminal.name)))
    Stage("pull mode: the same message again changes nothing", theFleet, MessageA, Everyone(pulling, "ok"),
          extraVars=pull, extraArgs=limit)
    # The mixed fleet's play takes pull mode for a Linux terminal by itself
    # (push would write: the displays hold another message).
    Stage("keep-message.yml: pull mode for the Linux terminals", theFleet, MessageA,
          Everyone(pulling, "ok"), extraVars={"vfdstartup_apply_units": False}, extraArgs=limit,
          playbook="keep-message.yml")


def BracesKeptUnsafe(theFleet):
    # deploy/ansible/README.md: a row marked !unsafe keeps "{{" as it is.
    for terminal in theFleet.terminals:
        Check(terminal.Control("mode normal") and terminal.Control("product-type default"), "modes not reset")
    rows = ("Menu {{ today }}", "{% raw %}")
    unsafe = os.path.join(theFleet.dir, "unsafe.yml")
    with open(unsafe, "w") as file:
        file.write('vfdstartup_rows:\n  - !unsafe "%s"\n  - !unsafe "%s"\n' % rows)
    Stage("rows marked !unsafe", theFleet, (("x", "y"), "300ms"), Everyone(theFleet, "changed"),
          extraArgs=["-e", "@" + unsafe])
    CheckStored(theFleet.terminals, (rows, "300ms"), "!unsafe rows")


def RunStages(theFleet):
    # Each stage starts from the state the one before left; stop at the first that fails.
    for stage in (FirstRollout, SameMessageAgain, NewMessage, FaultyDisplays, CheckMode, RowsNoProgramTakes,
                  NoJsonObject, BracesKeptUnsafe, PullMode):
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
    return Conclude("fleet test", theFleet.dir)


if __name__ == "__main__":
    sys.exit(Main())

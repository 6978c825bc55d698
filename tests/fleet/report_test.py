#!/usr/bin/python3
"""The fleet report's tables (the role's vfdstartup_report module) from the
status --json of terminals of each kind: stored, unchanged, failed, another
message, a swapped display, no status, unreachable; and of terminals that
send hostile text, which the Markdown and the JSON show as sent, never as
rows, headings, comments, links or the end of a string of their own.

Then the role's report mode with real Ansible over two terminals on this
machine (local connections, each with its own state directory: one stored,
one whose display did not answer) and one that cannot be reached.

Usage: report_test.py [VFDSTARTUP_CLI]
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "../../deploy/ansible/roles/vfdstartup/library"))
import vfdstartup_report  # noqa: E402

Failures = []


def Check(condition, what):
    if not condition:
        Failures.append(what)
        print("FAIL: " + what)


def Port(name, outcome, rows=("Sale", "Open 8-22"), speed="200ms", counts=True):
    kept = {"counts": counts, "rows": list(rows), "speed": speed, "product_type": "CU20029T307A01 ",
            "written_at": 1765170000, "command": "apply"} if rows else None
    run = {"command": "apply", "outcome": outcome, "success": outcome in ("stored", "unchanged"), "reason": None,
           "detail": "...", "time": 1765170001} if outcome else None
    return {"port": name, "device": "char 4:65", "state_key": name[5:], "kept": kept, "last_run": run,
            "success": run is not None and run["success"], "problems": []}


def Status(*ports):
    return {"command": "status", "state_dir": "/var/lib/vfdstartup", "success": all(p["success"] for p in ports),
            "ports": list(ports), "warnings": []}


Statuses = {
    "t1": Status(Port("/dev/ttyS0", "stored")),
    "t2": Status(Port("/dev/ttyS0", "unchanged")),
    "t3": Status(Port("/dev/ttyS0", "stored"), Port("/dev/ttyUSB0", "no_answer", rows=None)),
    "t4": Status(Port("/dev/ttyS0", "stored", rows=("Winter", "sale"))),
    "t5": Status(Port("/dev/ttyUSB0", "stored", counts=False)),
    "t6": Status(),
    "t7": None,
    "t8": Status(Port("/dev/ttyS0", "stored", speed="500ms")),
}

Markdown = """# Customer displays: fleet report

9 terminals.

## Terminals per outcome

| Outcome | Terminals | Hosts |
|---|---|---|
| no_answer | 1 | t3 |
| no_run | 1 | t6 |
| stored | 4 | t1, t4, t5, t8 |
| unchanged | 1 | t2 |

## Displays holding another message

| Host | Port | Rows | Speed |
|---|---|---|---|
| t4 | /dev/ttyS0 | Winter / sale | 200ms |
| t8 | /dev/ttyS0 | Sale / Open 8-22 | 500ms |

## Kept states that no longer count (display swapped or plugged in again, not yet written)

| Host | Ports |
|---|---|
| t5 | /dev/ttyUSB0 |

## Hosts without an answer

| Host | Why |
|---|---|
| t9 | unreachable |
| t7 | no status from the program |
"""


# What a terminal may send as an outcome, a port, a row or a speed (its
# last-run and state files are its own), each meant to rewrite the report.
Hostile = (
    "stored\n| t0 | 1 | t0 |",        # a row of its own
    "no_answer\r\n## Fake heading",    # a heading, after a carriage return too
    "a|b\\|c\\",                    # cells of its own, an escape that eats the next one
    "<!-- the rest is hidden",          # an HTML comment
    "[click](http://evil) ![i](x) `c|d` *e* _f_ ~g~ &lt; &#10;",
    "\u2028\x00\x1b[31m\x7f\x85",        # other line breaks and control characters
)
Specials = "\\|<>&[]()!`*_~"


def Control(c):
    return ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 or c in "\u2028\u2029"


def Cells(line):
    """A table row's cells as Markdown shows them: split at each unescaped
    |, every escape taken away. None when a special character is left
    unescaped (an underscore inside a word is none), or a line break."""
    body = line[1:-1] if line.startswith("|") and line.endswith("|") else "\n"
    cells = [""]
    for match in re.finditer(r"\\(.)|(\|)|(.)", body, re.S):
        escaped, edge, c = match.groups()
        inWord = re.fullmatch(r"[^\W_]_[^\W_]", body[match.start() - 1:match.end() + 1])
        if edge:
            cells.append("")
        elif c and (Control(c) or (c in Specials and not inWord)):
            return None
        cells[-1] += escaped or c or ""
    return [cell.strip() for cell in cells]


def Shown(text):
    """The text as a cell shows it: control characters and line breaks as blanks."""
    return "".join(" " if Control(c) else c for c in text).strip()


def CheckHostile():
    statuses = {}
    for i, text in enumerate(Hostile):
        statuses["h%d" % i] = Status(dict(Port(text, text, rows=(text, text), speed=text), port=text),
                                     dict(Port(text, "stored", counts=False), port=text + " 2"))
    report = vfdstartup_report.BuildReport(statuses, [], ["Sale", "Open 8-22"], "200ms")
    rendered = vfdstartup_report.RenderMarkdown(report)
    lines = rendered.split("\n")
    headings = [line for line in lines if line.startswith("#")]
    Check(len(headings) == 5 and "<!--" not in rendered.replace("\\<", ""), "hostile: headings %s" % headings)
    rows = [Cells(line) for line in lines if line.startswith("|") and not line.startswith("|---")]
    Check(None not in rows, "hostile: a row with an unescaped character:\n" + rendered)
    # Each table's header, then per outcome one row, per host one row of
    # another message and one of a kept state that no longer counts.
    Check(len(rows) == 4 + 3 * len(Hostile), "hostile: %d rows:\n%s" % (len(rows), rendered))
    for i, text in enumerate(Hostile):
        host, shown = "h%d" % i, Shown(text)
        Check([shown, "1", host] in rows and [host, shown, Shown(text + " / " + text), shown] in rows and
              [host, Shown(text + " 2")] in rows, "hostile: %r is not shown as sent" % text)
    json_text = vfdstartup_report.RenderJson(report)
    Check(json_text.isascii() and json.loads(json_text) == report, "hostile: the JSON report %s" % json_text)


def LastRun(directory, outcome):
    os.makedirs(directory)
    with open(os.path.join(directory, "vfd-ttyS0.last"), "w") as out:
        out.write("device=ttyS0\nport=/dev/ttyS0\ncommand=apply\noutcome=%s\nreason=none\n"
                  "detail=...\ntime=1765170001\n" % outcome)


def CheckPlaybook(cli):
    work = tempfile.mkdtemp(prefix="vfd-report-test-")
    try:
        LastRun(work + "/t1", "stored")
        LastRun(work + "/t2", "no_answer")
        local = "ansible_connection=local ansible_python_interpreter=/usr/bin/python3"
        with open(work + "/inventory.ini", "w") as out:
            out.write("[pos_terminals]\nt1 %s vfdstartup_state_dir=%s/t1\nt2 %s vfdstartup_state_dir=%s/t2\n"
                      "t3 ansible_host=127.0.0.9 ansible_port=1 ansible_ssh_common_args='-o ConnectTimeout=2'\n"
                      % (local, work, local, work))
        root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../..")
        play = subprocess.run(["ansible-playbook", "-i", work + "/inventory.ini", root + "/deploy/ansible/rollout.yml",
                               "-e", "vfdstartup_mode=report", "-e", "vfdstartup_report_dest=" + work + "/report",
                               "-e", "vfdstartup_executable=" + cli, "-e", '{"vfdstartup_rows": ["Sale", "Open"]}'],
                              capture_output=True, text=True, env=dict(os.environ, ANSIBLE_HOST_KEY_CHECKING="false"))
        with open(work + "/report.json") as text:
            report = json.load(text)
        Check(report["outcomes"] == {"stored": ["t1"], "no_answer": ["t2"]} and report["unreachable"] == ["t3"],
              "the playbook's report: %s\n%s" % (report, play.stdout[-2000:]))
        Check(os.path.exists(work + "/report.md"), "no Markdown report")
    finally:
        shutil.rmtree(work)


def main():
    report = vfdstartup_report.BuildReport(Statuses, ["t9"], ["Sale", "Open 8-22"], "200ms")
    Check(report["outcomes"] == {"stored": ["t1", "t4", "t5", "t8"], "unchanged": ["t2"], "no_answer": ["t3"],
                                 "no_run": ["t6"]}, "per outcome: %s" % report["outcomes"])
    Check(sorted(report["other_message"]) == ["t4", "t8"], "another message: %s" % report["other_message"])
    Check(report["state_no_longer_counts"] == {"t5": ["/dev/ttyUSB0"]}, "stale: %s" % report["state_no_longer_counts"])
    Check(report["unreachable"] == ["t9"] and report["no_status"] == ["t7"] and report["terminals"] == 9,
          "unreachable: %s" % report)
    rendered = vfdstartup_report.RenderMarkdown(report)
    Check(rendered == Markdown, "the Markdown:\n" + rendered)
    # Without the fleet's rows (the factory default) no message is compared.
    Check(vfdstartup_report.BuildReport(Statuses, [], [], "300ms")["other_message"] == {}, "factory default")
    CheckHostile()
    if len(sys.argv) > 1:
        CheckPlaybook(os.path.abspath(sys.argv[1]))
    print("report test: " + ("FAILED" if Failures else "passed"))
    return 1 if Failures else 0


if __name__ == "__main__":
    sys.exit(main())

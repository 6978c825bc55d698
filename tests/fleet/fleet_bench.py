#!/usr/bin/python3
"""Wall time of a rollout (deploy/ansible/rollout.yml, forks = terminals) to
1, 6 and 24 emulated terminals, each run a new message so that every display
really writes, next to the same playbook whose program is a no-op (Ansible's
own cost per run) and next to one terminal's rollout. Prints figures, judges
nothing. Run through scripts/bench-fleet.sh.

Usage: fleet_bench.py BUILD_DIR [RUNS]
"""
import os
import statistics
import sys

import fleet

Sizes = (1, 6, 24)
Goal = 4.0  # 24 terminals in at most this many times one terminal's rollout
NoOpAnswer = '{"outcome": "unchanged", "changed": false, "messages": [], "warnings": []}'
# What the role asks the program first (describe --json): the speeds it takes.
NoOpDescription = '{"speeds": ["<10ms", "100ms", "200ms", "300ms", "400ms", "500ms"], "row_limit": 63}'


def WriteNoOpProgram(directory):
    # Answers as vfdstartup-cli --json does when nothing is to be sent, and
    # describes itself as the program does, which the role checks first.
    path = os.path.join(directory, "no-op-cli")
    with open(path, "w") as program:
        program.write("#!/bin/sh\nif [ \"$1\" = describe ]; then echo '%s'; else echo '%s'; fi\n"
                      % (NoOpDescription, NoOpAnswer))
    os.chmod(path, 0o755)
    return path


def ExchangeTimes(theFleet, marks):
    # Per display: its first open to its last close in this run, from its log.
    spans = []
    for terminal in theFleet.terminals:
        events = terminal.Events()[marks[terminal.name]:]
        opens = [e["t"] for e in events if e["event"] == "open"]
        closes = [e["t"] for e in events if e["event"] == "close"]
        if opens and closes:
            spans.append((min(opens), max(closes)))
    return spans


def TimedRollout(theFleet, label, executable):
    # One rollout of a new message; the figures and what went wrong.
    theFleet.WriteInventory(executable=executable)
    marks = {t.name: len(t.Events()) for t in theFleet.terminals}
    result = theFleet.Rollout((label, "pid %d" % os.getpid()), "100ms")
    problem = None
    if result.rc != 0 or any(r["failed"] for r in result.recap.values()):
        problem = "%s: ansible-playbook exit code %d" % (label, result.rc)
    return result.seconds, ExchangeTimes(theFleet, marks), problem


def Median(values):
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else float("nan")


def BenchRound(fleets, noOps, run, figures):
    # Every size in turn, each with its no-op, so that the machine's drift
    # falls on all of them alike. A run that failed gives no figure (None):
    # a failing run measures something else.
    for count, theFleet in fleets.items():
        figure = figures[count]
        wall, spans, problem = TimedRollout(theFleet, "bench %d run %d" % (count, run), None)
        figure["walls"].append(None if problem else wall)
        if spans and not problem:
            figure["exchanges"].append(Median([end - start for start, end in spans]))
            figure["windows"].append(max(end for _, end in spans) - min(start for start, _ in spans))
        noOpWall, _, noOpProblem = TimedRollout(theFleet, "no-op %d run %d" % (count, run), noOps[count])
        figure["noOps"].append(None if noOpProblem else noOpWall)
        figure["problems"] += [p for p in (problem, noOpProblem) if p]


def Bench(tools, runs):
    fleets = {count: fleet.Fleet(tools, count) for count in Sizes}
    figures = {count: {"walls": [], "noOps": [], "exchanges": [], "windows": [], "problems": []} for count in Sizes}
    try:
        if not all(theFleet.Start() for theFleet in fleets.values()):
            sys.exit("the emulators did not start")
        noOps = {count: WriteNoOpProgram(theFleet.dir) for count, theFleet in fleets.items()}
        for count, theFleet in fleets.items():
            TimedRollout(theFleet, "warm-up", None)
        for run in range(runs):
            print("round %d of %d ..." % (run + 1, runs), flush=True)
            BenchRound(fleets, noOps, run, figures)
    finally:
        for theFleet in fleets.values():
            theFleet.Stop()
    return figures


def PairedMedian(numerators, denominators):
    return Median([a / b for a, b in zip(numerators, denominators) if a is not None and b is not None])


def Differences(walls, noOps):
    return [a - b for a, b in zip(walls, noOps) if a is not None and b is not None]


def Shown(walls):
    return " ".join("failed" if wall is None else "%.2f" % wall for wall in walls)


def PrintFigures(figures, runs):
    print("\nrollout of a new message, forks = terminals, median of %d rounds (wall seconds):" % runs)
    print("%9s %9s %9s %10s %12s %12s %8s" % ("terminals", "rollout", "no-op", "rollout -", "one display",
                                             "all displays", "x one"))
    print("%9s %9s %9s %10s %12s %12s %8s" % ("", "", "playbook", "no-op", "exchange", "busy window", "terminal"))
    one = figures[Sizes[0]]["walls"]
    for count, figure in figures.items():
        rollout, noOp = Median(figure["walls"]), Median(figure["noOps"])
        print("%9d %9.2f %9.2f %10.2f %12.2f %12.2f %8.2f" % (
            count, rollout, noOp, Median(Differences(figure["walls"], figure["noOps"])),
            Median(figure["exchanges"]), Median(figure["windows"]), PairedMedian(figure["walls"], one)))
        for problem in figure["problems"]:
            print("%9s   %s" % ("", problem))
    last = figures[Sizes[-1]]
    print("\n%d terminals take %.2f x one terminal's rollout (median of the rounds' ratios; goal: at most %.0f x; "
          "one after another: %d x)" % (Sizes[-1], PairedMedian(last["walls"], one), Goal, Sizes[-1]))
    print("Ansible's own cost (the no-op playbook) is %.0f %% of the %d-terminal rollout; the displays were busy "
          "in a %.2f s window, %.2f s each" % (100 * PairedMedian(last["noOps"], last["walls"]), Sizes[-1],
                                               Median(last["windows"]), Median(last["exchanges"])))
    for count, figure in figures.items():
        print("runs, %2d terminals: %s; no-op %s" % (count, Shown(figure["walls"]), Shown(figure["noOps"])))
    failed = sum(len(figure["problems"]) for figure in figures.values())
    if failed:
        print("FIGURES INCOMPLETE: %d run(s) failed (listed above) and give no figure; the medians are of the "
              "runs that succeeded" % failed)


def Main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    runs = int(sys.argv[2]) if len(sys.argv) == 3 else 3
    fleet.StopOnSignals()
    print("machine: %d processors, load %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))
    PrintFigures(Bench(sys.argv[1], runs), runs)


if __name__ == "__main__":
    Main()

#!/usr/bin/python
# -*- coding: utf-8 -*-
# The fleet report, on the controller: what every terminal's status --json
# says, gathered by the role's report mode, as Markdown for people and JSON
# for tools.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vfdstartup_report
short_description: Write the fleet report of the customer displays
description:
  - Runs on the controller. From each terminal's C(vfdstartup-cli status --json)
    it writes one report, Markdown (I(dest).md) and JSON (I(dest).json), with
    the number of terminals per outcome and the hosts in each, the terminals
    whose display holds another message than I(rows) and I(speed) say, the
    terminals whose kept state no longer counts, and the hosts that did not
    answer.
  - A terminal's outcome is the outcome of the last run of the first of its
    ports whose last run did not put the message on the display, else of its
    last port; C(no_run) when nothing is known of any port.
options:
  statuses:
    description: Per host, the status object (empty for a host whose program gave none).
    type: dict
    required: true
  unreachable:
    description: The hosts that could not be reached.
    type: list
    elements: str
    default: []
  rows:
    description: "The fleet's rows (empty: no message is compared)."
    type: list
    elements: str
    default: []
  speed:
    description: The fleet's speed.
    type: str
    default: 300ms
  dest:
    description: The report's path without its suffix.
    type: str
    required: true
"""

import json

Success = ("stored", "unchanged")


def HostOutcome(status):
    """The outcome a terminal is counted under."""
    runs = [port["last_run"] for port in status.get("ports", []) if port.get("last_run")]
    failed = [run["outcome"] for run in runs if run["outcome"] not in Success]
    if failed:
        return failed[0]
    return runs[-1]["outcome"] if runs else "no_run"


def OtherMessages(status, rows, speed):
    """The ports whose kept message is not the fleet's."""
    if not rows:
        return []
    return [{"port": port["port"], "rows": port["kept"]["rows"], "speed": port["kept"]["speed"]}
            for port in status.get("ports", [])
            if port.get("kept") and port["kept"]["counts"] and (port["kept"]["rows"] != list(rows) or
                                                                 port["kept"]["speed"] != speed)]


def BuildReport(statuses, unreachable, rows, speed):
    """The report as one object."""
    outcomes, other, stale, silent = {}, {}, {}, []
    for host in sorted(statuses):
        status = statuses[host]
        if not status:
            silent.append(host)
            continue
        outcomes.setdefault(HostOutcome(status), []).append(host)
        differs = OtherMessages(status, rows, speed)
        if differs:
            other[host] = differs
        gone = [port["port"] for port in status.get("ports", []) if port.get("kept") and not port["kept"]["counts"]]
        if gone:
            stale[host] = gone
    return {"terminals": len(statuses) + len(unreachable), "outcomes": outcomes, "other_message": other,
            "state_no_longer_counts": stale, "no_status": silent, "unreachable": sorted(unreachable)}


# Characters Markdown gives a meaning in a table cell's running text: the
# escape itself, the cell's edge, HTML (tags, comments, entities), links,
# images, code and emphasis (an underscore only at a word's edge: no_answer
# stays as it is).
MarkdownSpecials = set("\\|<>&[]()!`*_~")


def Special(text, at):
    if text[at] != "_":
        return text[at] in MarkdownSpecials
    return not (0 < at < len(text) - 1 and text[at - 1].isalnum() and text[at + 1].isalnum())


def Cell(text):
    """What a terminal sent, as one table cell that shows it as it is: each
    special character escaped, and line breaks and other control characters
    as blanks, so that one row stays one row."""
    out, text = [], str(text)
    for at, c in enumerate(text):
        if Special(text, at):
            out.append("\\" + c)
        elif ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 or c in "\u2028\u2029":
            out.append(" ")
        else:
            out.append(c)
    return "".join(out)


def RenderMarkdown(report):
    lines = ["# Customer displays: fleet report", "", "%d terminals." % report["terminals"], "",
             "## Terminals per outcome", "", "| Outcome | Terminals | Hosts |", "|---|---|---|"]
    for outcome in sorted(report["outcomes"]):
        hosts = report["outcomes"][outcome]
        lines.append("| %s | %d | %s |" % (Cell(outcome), len(hosts), Cell(", ".join(hosts))))
    lines += ["", "## Displays holding another message", "", "| Host | Port | Rows | Speed |", "|---|---|---|---|"]
    for host in sorted(report["other_message"]):
        for port in report["other_message"][host]:
            lines.append("| %s | %s | %s | %s |" % (Cell(host), Cell(port["port"]), Cell(" / ".join(port["rows"])),
                                                    Cell(port["speed"])))
    lines += ["", "## Kept states that no longer count (display swapped or plugged in again, not yet written)", "",
              "| Host | Ports |", "|---|---|"]
    for host in sorted(report["state_no_longer_counts"]):
        lines.append("| %s | %s |" % (Cell(host), Cell(", ".join(report["state_no_longer_counts"][host]))))
    lines += ["", "## Hosts without an answer", "", "| Host | Why |", "|---|---|"]
    lines += ["| %s | unreachable |" % Cell(host) for host in report["unreachable"]]
    lines += ["| %s | no status from the program |" % Cell(host) for host in report["no_status"]]
    return "\n".join(lines) + "\n"


def RenderJson(report):
    """Every string escaped as JSON does (ASCII only): a terminal's text
    never ends a string or the document."""
    return json.dumps(report, indent=2, sort_keys=True, ensure_ascii=True) + "\n"


def main():
    from ansible.module_utils.basic import AnsibleModule

    module = AnsibleModule(argument_spec=dict(
        statuses=dict(type="dict", required=True), unreachable=dict(type="list", elements="str", default=[]),
        rows=dict(type="list", elements="str", default=[]), speed=dict(type="str", default="300ms"),
        dest=dict(type="str", required=True)), supports_check_mode=True)
    report = BuildReport(module.params["statuses"], module.params["unreachable"], module.params["rows"],
                         module.params["speed"])
    if not module.check_mode:
        with open(module.params["dest"] + ".json", "w") as out:
            out.write(RenderJson(report))
        with open(module.params["dest"] + ".md", "w") as out:
            out.write(RenderMarkdown(report))
    failing = sum(len(hosts) for outcome, hosts in report["outcomes"].items() if outcome not in Success)
    module.exit_json(changed=not module.check_mode, report=report, failing=failing + len(report["unreachable"]))


if __name__ == "__main__":
    main()

#!/usr/bin/python
# -*- coding: utf-8 -*-
# Sets the startup message of a terminal's customer display through
# vfdstartup-cli, whose --json result says what the module did.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vfdstartup_message
short_description: Set the startup message of a point-of-sale customer display
description:
  - Stores a two-row startup message in the terminal's customer display (a
    two-row VFD module on a serial port), or puts the factory default back,
    by running C(vfdstartup-cli write) or C(vfdstartup-cli factory-default)
    with C(--json), without a shell.
  - The display cannot be read back. After a confirmed record the program keeps
    it per port in I(state_dir); when the kept record is the one to send,
    nothing is opened or sent and the task is C(ok). C(changed) means the
    display confirmed a new record in this run.
  - Without I(port) the program uses the configured port (C(port=) in
    C(/etc/vfdstartup.conf), or the file named by C(VFDSTARTUP_CONF)), then
    looks on the system's serial ports.
options:
  rows:
    description:
      - The top row and the bottom row, each up to 63 characters of ASCII
        0x20 to 0x7F. The program cuts a row at its first other character,
        with a warning. Required unless I(factory_default).
    type: list
    elements: str
  speed:
    description: Scroll speed per character of a row longer than the display's 20 columns.
    type: str
    choices: ['<10ms', '100ms', '200ms', '300ms', '400ms', '500ms']
    default: 300ms
  port:
    description:
      - The display's port, for example C(/dev/ttyS0) or C(/dev/serial/by-id/...).
      - Default the configured port, then the system's ports.
    type: str
  factory_default:
    description: Store the factory default message instead of I(rows) and I(speed).
    type: bool
    default: false
  force:
    description: Write even when the kept record shows the display holds the message already.
    type: bool
    default: false
  state_dir:
    description: Where the program keeps the record confirmed on each port.
    type: path
    default: /var/lib/vfdstartup
  executable:
    description: The program, a path or a name looked up on C(PATH).
    type: path
    default: vfdstartup-cli
notes:
  - Check mode runs the program with C(--check), which answers from the
    kept records alone and opens no port. With I(force), check mode reports
    changed.
  - The user needs access to the serial device (for example the dialout group).
  - For Windows terminals the role C(vfdstartup) runs C(vfdstartup-cli.exe)
    through C(ansible.windows.win_command) instead.
"""

EXAMPLES = r"""
- name: Winter message on every terminal's customer display
  vfdstartup_message:
    rows:
      - Welcome to Store 12
      - Open 8-22 every day
    speed: 200ms

- name: Factory default on a display on a given port, written even if kept
  vfdstartup_message:
    factory_default: true
    port: /dev/ttyUSB0
    force: true
"""

RETURN = r"""
outcome:
  description: >-
    stored, unchanged (the kept record is the one to send; nothing was sent),
    would_write (check mode), not_confirmed, incompatible, open_failed,
    io_error, no_display or usage.
  returned: always
  type: str
  sample: stored
port:
  description: The port used, or the port whose kept record was compared.
  returned: always
  type: str
  sample: /dev/ttyS0
product_type:
  description: The product type the display reported; null when none was asked.
  returned: always
  type: str
  sample: 'CU20029T307A01 '
messages:
  description: Every message box the dialog program would have shown, in order.
  returned: always
  type: list
  elements: dict
  sample: [{caption: Startup Message write successful, text: "Product type: CU20029T307A01 \r\nStartup Message write: (OK)     "}]
rows:
  description: The rows as sent (or as they would be sent), after cutting.
  returned: when the record was built
  type: list
  elements: str
record:
  description: The 128-byte record as 256 upper-case hex digits.
  returned: when the record was built
  type: str
candidates:
  description: Each port probed while looking for the display, with its verdict.
  returned: when the program looked for the display
  type: list
  elements: dict
rc:
  description: The program's exit code (0 stored or unchanged, 1 not confirmed or incompatible, 2 usage, 3 no display or port, 4 I/O error).
  returned: always
  type: int
"""

import json
import re

from ansible.module_utils.basic import AnsibleModule

Speeds = ["<10ms", "100ms", "200ms", "300ms", "400ms", "500ms"]
RowTextMax = 63
PassedOn = ["port", "product_type", "messages", "rows", "record", "candidates", "chosen", "detail"]


def CommandLine(params, executable, checkMode):
    # --name=value keeps a row such as "--port" from being read as an option.
    if params["factory_default"]:
        argv = [executable, "factory-default"]
    else:
        rows = params["rows"]
        argv = [executable, "write", "--row0=" + rows[0], "--row1=" + rows[1], "--speed=" + params["speed"]]
    if params["port"]:
        argv.append("--port=" + params["port"])
    argv += ["--json", "--state-dir=" + params["state_dir"]]
    if not params["force"]:
        argv.append("--if-changed")
    if checkMode:
        argv.append("--check")
    return argv


def BoxLine(message):
    # As the console prints a box: caption, then the text on one line.
    caption = message.get("caption", "")
    text = re.sub(r"\s+", " ", message.get("text", "")).strip()
    return caption + (" " if caption.endswith(":") else ": ") + text


def Summary(answer, rc, stderr):
    boxes = [BoxLine(message) for message in answer.get("messages") or []]
    if answer.get("detail"):
        boxes.append(answer["detail"])
    if boxes:
        return "; ".join(boxes)
    outcome = answer.get("outcome")
    if outcome == "no_display":
        probed = ["%s: %s" % (c.get("port"), c.get("verdict")) for c in answer.get("candidates") or []]
        return "no display found" + (" (" + ", ".join(probed) + ")" if probed else ": no ports to look on")
    if outcome == "unchanged":
        return "the kept record shows %s holds this message already; nothing sent" % answer.get("port")
    if outcome == "would_write":
        return "would write the message to %s" % (answer.get("port") or "the display found")
    return "%s (exit code %d) %s" % (outcome, rc, stderr.strip())


def WarnOfCutRows(module, sentRows):
    # The program cuts a row at a character the display cannot show, and says
    # so only in a box; a rollout should not pass over that silently.
    if module.params["factory_default"] or not sentRows:
        return
    for row, (wanted, sent) in enumerate(zip(module.params["rows"], sentRows)):
        if sent != wanted[:RowTextMax]:
            module.warn("row %d goes to the display as %r: it shows ASCII 0x20 to 0x7F only" % (row, sent))


def CheckedProgram(module):
    # The program to run, once the options make sense together.
    params = module.params
    if params["factory_default"] and params["rows"]:
        module.fail_json(msg="rows goes with a message, not with factory_default")
    if not params["factory_default"] and len(params["rows"]) != 2:
        module.fail_json(msg="rows takes two rows (top, bottom), not %d" % len(params["rows"]))
    executable = params["executable"]
    return executable if "/" in executable else module.get_bin_path(executable, required=True)


def Main():
    module = AnsibleModule(
        argument_spec=dict(
            rows=dict(type="list", elements="str"),
            speed=dict(type="str", choices=Speeds, default="300ms"),
            port=dict(type="str"),
            factory_default=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            state_dir=dict(type="path", default="/var/lib/vfdstartup"),
            executable=dict(type="path", default="vfdstartup-cli"),
        ),
        required_if=[("factory_default", False, ["rows"])],
        supports_check_mode=True,
    )
    executable = CheckedProgram(module)
    argv = CommandLine(module.params, executable, module.check_mode)
    rc, stdout, stderr = module.run_command(argv)
    try:
        answer = json.loads(stdout)
    except ValueError:
        module.fail_json(msg="%s gave no JSON result (exit code %d): %s" % (executable, rc, stderr.strip()),
                         rc=rc, stdout=stdout, stderr=stderr, cmd=argv)
    for warning in answer.get("warnings") or []:
        module.warn(warning)
    WarnOfCutRows(module, answer.get("rows"))

    result = dict(rc=rc, outcome=answer.get("outcome"), msg=Summary(answer, rc, stderr))
    result.update((key, answer[key]) for key in PassedOn if key in answer)
    result["changed"] = bool(answer.get("changed")) or (module.check_mode and module.params["force"])
    if rc != 0:
        module.fail_json(stderr=stderr, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    Main()

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
    it per device in I(state_dir); when the kept record is the one to send,
    no record is sent and the task is C(ok) (where the display's port is not
    known without looking, the ports are probed first). C(changed) means the
    display confirmed a new record in this run.
  - Without I(port) the program uses the configured port (C(port=) in
    C(/etc/vfdstartup.conf), or the file named by C(VFDSTARTUP_CONF)), then
    looks on the system's serial ports.
options:
  rows:
    description:
      - >-
        The top row and the bottom row. The display shows ASCII only: the
        program writes other letters in ASCII ("Cafe" for "Café", "EUR" for
        "€") and cuts a row at a character it cannot write so, or at
        the program's row limit, each change with a warning. Required unless
        I(factory_default).
    type: list
    elements: str
  speed:
    description:
      - >-
        Scroll speed per character of a row longer than the display's columns:
        one of the speeds C(vfdstartup-cli describe) lists (C(<10ms),
        C(100ms), C(200ms), C(300ms), C(400ms), C(500ms)).
    type: str
    default: 300ms
  strict:
    description: Fail (nothing sent) when a row would not be stored exactly as given.
    type: bool
    default: false
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
    description: Where the program keeps the record confirmed on each device.
    type: path
    default: /var/lib/vfdstartup
  executable:
    description: The program, a path or a name looked up on C(PATH).
    type: path
    default: vfdstartup-cli
notes:
  - >-
    Check mode runs the program with C(--check), which talks to the display:
    it does what a real run does up to the record (looks for the display,
    opens its port, asks it to enter set-up mode and for its product type,
    asks it to leave set-up mode) and sends no record. The task ends as the
    real run would (C(changed) for a record to write, failed for a missing or
    busy port, a silent display or another product type); where the kept
    record is the one to send, nothing reaches the display and the task is
    C(ok). With I(force), check mode reports changed.
  - A row (or I(port), I(state_dir)) holding a NUL character or a lone
    surrogate fails the task with a message naming it; nothing is run.
  - Rows are templated by Ansible; mark a row C(!unsafe) to keep C({{) as
    it is.
  - Diff mode shows the rows kept for the display before the run (or
    C(unknown)) and the rows it is to hold.
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
    The program's outcome (vfdstartup-cli describe lists them with their exit
    codes): stored, unchanged (the kept record is the one to send; nothing
    was sent), would_write (check mode), not_confirmed, incompatible, usage,
    refused, no_answer, no_display, open_failed, io_error, interrupted or
    state_error (the kept state could not be dropped; nothing was sent).
  returned: always
  type: str
  sample: stored
port:
  description: The port used, or the port whose kept record was compared.
  returned: always
  type: str
  sample: /dev/ttyS0
reason:
  description: Why the port could not be used (no_such_port, busy, no_permission, not_serial, ...); null otherwise.
  returned: always
  type: str
detail:
  description: The outcome in one line, as the program prints it.
  returned: always
  type: str
product_type:
  description: >-
    The product type the display reported; null when it named none (it was
    not asked, did not answer, or the port could not be used).
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
  description: The rows as the display is to hold them.
  returned: when the record was built
  type: list
  elements: str
record:
  description: The 128-byte record as 256 upper-case hex digits.
  returned: when the record was built
  type: str
candidates:
  description: Each port probed while looking for the display, with its verdict and detail.
  returned: when the program looked for the display
  type: list
  elements: dict
rc:
  description: The program's exit code (vfdstartup-cli describe lists each outcome's).
  returned: always
  type: int
"""

import json

from ansible.module_utils.basic import AnsibleModule

PassedOn = ["port", "reason", "detail", "product_type", "messages", "rows", "record", "candidates", "chosen"]


def CommandLine(params, executable, checkMode):
    # --name=value keeps a row such as "--port" from being read as an option.
    if params["factory_default"]:
        argv = [executable, "factory-default"]
    else:
        rows = params["rows"]
        argv = [executable, "write", "--row0=" + rows[0], "--row1=" + rows[1], "--speed=" + params["speed"]]
        if params["strict"]:
            argv.append("--strict")
    if params["port"]:
        argv.append("--port=" + params["port"])
    argv += ["--json", "--state-dir=" + params["state_dir"]]
    if not params["force"]:
        argv.append("--if-changed")
    if checkMode:
        argv.append("--check")
    return argv


def JsonObjectOf(module, argv, text, rc, stderr):
    # The program's one JSON object; anything else fails the task cleanly.
    try:
        answer = json.loads(text)
    except ValueError:
        answer = None
    if not isinstance(answer, dict):
        module.fail_json(msg="%s gave no JSON result object (exit code %d): %s" % (argv[0], rc, stderr.strip()),
                         rc=rc, stdout=text, stderr=stderr, cmd=argv)
    return answer


def Describe(module, executable):
    # The speeds and the row limit as the program itself has them.
    argv = [executable, "describe", "--json"]
    rc, stdout, stderr = module.run_command(argv)
    return JsonObjectOf(module, argv, stdout, rc, stderr)


def TextProblem(what, text):
    # What no program argument can carry: a NUL ends it, and a lone
    # surrogate (from an escape such as \ud800 in YAML or JSON) is no
    # character at all.
    if "\x00" in text:
        return "%s holds a NUL character (\\x00), which no program argument can carry" % what
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return "%s holds U+%04X, a lone surrogate, which is no character" % (what, ord(text[error.start]))
    return None


def CheckedText(module):
    params = module.params
    named = [("row %d" % index, row) for index, row in enumerate(params["rows"] or [])]
    named += [("port", params["port"] or ""), ("state_dir", params["state_dir"] or "")]
    problems = [problem for problem in (TextProblem(what, text) for what, text in named) if problem]
    if problems:
        module.fail_json(msg="; ".join(problems))


def CheckedProgram(module):
    # The program to run, once the options make sense together and to it.
    params = module.params
    if params["factory_default"] and params["rows"]:
        module.fail_json(msg="rows goes with a message, not with factory_default")
    if not params["factory_default"] and len(params["rows"]) != 2:
        module.fail_json(msg="rows takes two rows (top, bottom), not %d" % len(params["rows"]))
    CheckedText(module)
    executable = params["executable"]
    executable = executable if "/" in executable else module.get_bin_path(executable, required=True)
    speeds = Describe(module, executable).get("speeds") or []
    if not params["factory_default"] and params["speed"] not in speeds:
        module.fail_json(msg="speed must be one of %s, not %r" % (", ".join(speeds), params["speed"]))
    return executable


def Diff(answer):
    def Shown(rows):
        return "\n".join(rows) + "\n" if rows else "unknown\n"
    return {"before": Shown(answer.get("kept_rows")), "after": Shown(answer.get("rows")),
            "before_header": "kept for %s" % (answer.get("port") or "the display"), "after_header": "to store"}


def Main():
    module = AnsibleModule(
        argument_spec=dict(
            rows=dict(type="list", elements="str"),
            speed=dict(type="str", default="300ms"),
            strict=dict(type="bool", default=False),
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
    answer = JsonObjectOf(module, argv, stdout, rc, stderr)
    for warning in answer.get("warnings") or []:
        module.warn(warning)

    result = dict(rc=rc, outcome=answer.get("outcome"), msg=answer.get("detail") or "exit code %d" % rc)
    result.update((key, answer[key]) for key in PassedOn if key in answer)
    result["changed"] = bool(answer.get("changed")) or (module.check_mode and module.params["force"])
    if module._diff and result["changed"]:
        result["diff"] = Diff(answer)
    if rc != 0:
        module.fail_json(stderr=stderr, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    Main()

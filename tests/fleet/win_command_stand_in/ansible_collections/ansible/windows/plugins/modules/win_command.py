#!/usr/bin/python
# Test fixture only: stands in for ansible.windows.win_command on a Linux
# host with a local connection, so that the role's Windows tasks (the
# program's arguments, changed and failed read from its JSON, the failure
# message) run against emulated displays. It runs argv without a shell and
# answers with win_command's fields; like it, it has no check mode and fails
# on a non-zero exit code. Windows quoting and WinRM are not modelled.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: win_command
short_description: Test stand-in for ansible.windows.win_command (argv only)
options:
  argv: {type: list, elements: str, required: true, description: The program and its arguments.}
  output_encoding_override: {type: str, description: Accepted and ignored (output is read as UTF-8).}
"""

from ansible.module_utils.basic import AnsibleModule


def Main():
    module = AnsibleModule(
        argument_spec=dict(argv=dict(type="list", elements="str", required=True),
                           output_encoding_override=dict(type="str")),
        supports_check_mode=False,
    )
    argv = module.params["argv"]
    rc, stdout, stderr = module.run_command(argv)
    result = dict(cmd=" ".join(argv), rc=rc, stdout=stdout, stderr=stderr, changed=True)
    if rc != 0:
        module.fail_json(msg="non-zero return code", **result)
    module.exit_json(**result)


if __name__ == "__main__":
    Main()

#!/usr/bin/python3
"""Every task's options against its module's own documentation.

  task_options.py LIBRARY TASKFILE...

ansible-doc --json (the role's library, and the collections Ansible finds)
documents each module; a task fails the check when it gives an option the
module does not document, leaves out a required one, or gives a plain value
outside the option's choices or of another type. ansible-lint's own options
check loads a module to run it, which a PowerShell module (ansible.windows)
is not: this check covers those too.
"""
import json
import re
import subprocess
import sys

import yaml
from ansible.playbook.task import Task

TaskWords = set(Task.fattributes) | {"action", "local_action", "block", "rescue", "always"}
AnyKeys = {"ansible.builtin.set_fact"}  # takes variables of any name
Types = {"list": list, "dict": dict, "bool": bool, "int": int}


def Tasks(items):
    for task in items or []:
        if any(part in task for part in ("block", "rescue", "always")):
            for part in ("block", "rescue", "always"):
                yield from Tasks(task.get(part))
        else:
            yield task


def ModuleOf(task):
    names = [key for key in task if key not in TaskWords and not key.startswith("with_")]
    return names[0] if len(names) == 1 else None


def Problems(task, module, doc):
    args = task[module]
    if not isinstance(args, dict) or module in AnyKeys:
        return []  # free-form, as include_tasks takes it
    options = doc.get("options") or {}
    names = {alias: name for name, option in options.items() for alias in [name] + (option.get("aliases") or [])}
    problems = ["no option %s" % key for key in args if key not in names]
    given = {names[key] for key in args if key in names}
    problems += ["option %s is required" % name for name, option in options.items()
                 if option.get("required") and name not in given]
    for key, value in args.items():
        option = options.get(names.get(key), {})
        if isinstance(value, str) and "{{" in value:
            continue
        if option.get("choices") and value not in option["choices"]:
            problems.append("%s: %r is not one of %s" % (key, value, option["choices"]))
        wanted = Types.get(option.get("type"))
        if wanted and not isinstance(value, wanted):
            problems.append("%s: %r is no %s" % (key, value, option["type"]))
    return problems


def main():
    library, files = sys.argv[1], sys.argv[2:]
    tasks = [(path, task) for path in files for task in Tasks(yaml.safe_load(open(path, encoding="utf-8")))]
    modules = sorted({ModuleOf(task) for _, task in tasks} - {None})
    answer = subprocess.run(["ansible-doc", "--json", "-t", "module", "-M", library] + modules,
                            capture_output=True, text=True)
    docs = json.loads(answer.stdout or "{}")
    failed = [line for line in answer.stderr.splitlines() if re.search(r"ERROR|WARNING", line)]
    for path, task in tasks:
        module = ModuleOf(task)
        if module is None:
            failed.append("%s: %s: no one module" % (path, task.get("name")))
        elif module not in docs:
            failed.append("%s: %s: ansible-doc has no documentation of %s" % (path, task.get("name"), module))
        else:
            failed += ["%s: %s: %s" % (path, task.get("name"), problem)
                       for problem in Problems(task, module, docs[module]["doc"])]
    for problem in failed:
        print("task options: " + problem)
    print("task options: %d tasks of %d modules, %s" % (len(tasks), len(modules), "FAILED" if failed else "passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

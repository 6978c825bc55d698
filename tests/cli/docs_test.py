#!/usr/bin/python3
"""What a reader is pointed to exists.

  docs_test.py links ROOT   every relative Markdown link and image of the
                            checkout's *.md files leads to a file, and its
                            #anchor to a heading of that file
  docs_test.py synopsis ROOT PROGRAM
                            the man page's synopsis, commands and options,
                            the console program's reference and the rest of
                            --help name exactly the commands and options of
                            the synopsis --help makes from the program's
                            option table, and the man page the program's
                            version
  docs_test.py man ROOT     the man page lints clean (mandoc -Tlint, groff
                            -ww)
  docs_test.py schemas ROOT PROGRAM
                            the JSON Schemas the package ships
                            (docs/schemas/) hold what the program answers
                            with --json, each kind of answer once
"""
import json
import os
import re
import subprocess
import sys
import tempfile

import jsonschema

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^\s*```")


def MarkdownFiles(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        for name in files:
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def ProseLines(path):
    """The lines outside fenced code blocks, with their numbers."""
    inside = False
    with open(path, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            if FENCE.match(line):
                inside = not inside
            elif not inside:
                yield number, line


def Anchors(path):
    """The anchors a Markdown viewer gives the headings: lower case, blanks
    as '-', punctuation left out, a repeated one numbered."""
    seen = {}
    for _, line in ProseLines(path):
        heading = re.match(r"#{1,6}\s+(.*?)\s*$", line)
        if not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        yield slug if count == 0 else "%s-%d" % (slug, count)


def BrokenLinks(path):
    for number, line in ProseLines(path):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            goal = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
            if not os.path.exists(goal):
                yield "%s:%d: %s: no such file" % (path, number, target)
            elif anchor and (not goal.endswith(".md") or anchor not in set(Anchors(goal))):
                yield "%s:%d: %s: no such heading" % (path, number, target)


def CheckLinks(root):
    return [problem for path in sorted(MarkdownFiles(root)) for problem in BrokenLinks(path)]


def Synopsis(text):
    """Command -> the options the synopsis gives it, from lines such as
    "vfdstartup-cli write [--port P] [-v|--verbose] ..." (a command begins a
    line); --help's own line is left out."""
    commands = {}
    for part in re.split(r"^\s*vfdstartup-cli\s+", text, flags=re.M)[1:]:
        name = part.split()[0] if part.split() else ""
        if not name.startswith("-"):
            commands[name] = set(re.findall(r"(?<![\w-])--?[a-z][\w-]*", part[len(name):]))
    return commands


def RoffText(text):
    """The words of man page source, without its requests' names."""
    text = text.replace("\\-", "-").replace("\\e", "\\")
    return re.sub(r"^\.[A-Za-z]+ ?", "", text, flags=re.M)


def RenderedSynopsis(path):
    """The man page's SYNOPSIS as man shows it."""
    shown = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", path], capture_output=True, text=True).stdout
    match = re.search(r"^SYNOPSIS\n(.*?)^\S", shown, re.M | re.S)
    return match.group(1) if match else ""


def ManSection(page, name):
    match = re.search(r"^\.SH %s\n(.*?)(?=^\.SH )" % name, page, re.M | re.S)
    return match.group(1) if match else ""


def Differences(where, got, table, longName, spare=frozenset()):
    """What a document names that the table does not (nor spare), or misses."""
    problems = ["%s: names the command %s, which the program does not take" % (where, c) for c in set(got) - set(table)]
    problems += ["%s: misses the command %s" % (where, c) for c in set(table) - set(got)]
    for command in set(got) & set(table):
        options = {longName.get(o, o) for o in got[command]}
        problems += ["%s: names %s, which the program does not take there" % (where, (command + " " + o).strip())
                     for o in sorted(options - table[command] - spare)]
        problems += ["%s: misses %s" % (where, (command + " " + o).strip()) for o in sorted(table[command] - options)]
    return problems


def CheckSynopsis(root, program):
    usage, _, rest = subprocess.run([program, "--help"], capture_output=True, text=True).stdout.partition("\n\n")
    longName = dict(re.findall(r"(-\w)\|(--[\w-]+)", usage))
    table = {command: {longName.get(o, o) for o in options} for command, options in Synopsis(usage).items()}
    commands = dict.fromkeys(table, set())
    everyOption = {"": {o for options in table.values() for o in options if o.startswith("--")}}
    helpLine = set(re.findall(r"--[a-z]+", usage.splitlines()[-1]))
    manPage = os.path.join(root, "docs", "vfdstartup-cli.1")
    with open(manPage, encoding="utf-8") as file:
        page = file.read()
    with open(os.path.join(root, "docs", "console-program.md"), encoding="utf-8") as file:
        reference = re.search(r"## Synopsis\n+```\n(.*?)```", file.read(), re.S).group(1)
    manCommands = re.findall(r"^\.TP\n\.B (\S+)", ManSection(page, "COMMANDS"), re.M)
    manOptions = set(re.findall(r"--[a-z][\w-]*", RoffText(ManSection(page, "OPTIONS"))))
    helpCommands = re.findall(r"^  ([a-z][\w-]*)  ", rest, re.M)
    helpOptions = set(re.findall(r"--[a-z][\w-]*", rest))
    problems = Differences("the man page's SYNOPSIS", Synopsis(RenderedSynopsis(manPage)), table, longName)
    problems += Differences("docs/console-program.md", Synopsis(reference), table, longName)
    problems += Differences("the man page's COMMANDS", dict.fromkeys(manCommands, set()), commands, longName)
    problems += Differences("the man page's OPTIONS", {"": manOptions}, everyOption, longName, helpLine)
    problems += Differences("the rest of --help", dict.fromkeys(helpCommands, set()), commands, longName)
    problems += Differences("the rest of --help", {"": helpOptions}, everyOption, longName, helpLine)
    version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.split()[-1]
    if not re.search(r'^\.TH .* "vfdstartup %s"' % re.escape(version), page, re.M):
        problems.append("the man page's title line does not name vfdstartup %s" % version)
    return problems if table else ["--help shows no synopsis"]


def CheckManPage(root):
    page = os.path.join(root, "docs", "vfdstartup-cli.1")
    problems = []
    for lint in (["mandoc", "-Tlint", page], ["groff", "-ww", "-z", "-man", page]):
        answer = subprocess.run(lint, capture_output=True, text=True)
        if answer.returncode != 0 or answer.stdout or answer.stderr:
            problems.append("%s: exit code %d\n%s%s" % (" ".join(lint), answer.returncode, answer.stdout, answer.stderr))
    return problems


# Answers that reach no display: the arguments ({dir}: a scratch directory,
# also the state directory, with a message file m.conf that names
# /dev/ttyS9), and the schema.
Kept = ["--state-dir", "{dir}", "--metrics-file", "{dir}/m.prom"]
Answers = [
    (["find", "--json"], "result"),
    (["write", "--port", "{dir}/none", "--json"] + Kept, "result"),
    (["write", "--row0", "\U0001F600", "--strict", "--json"] + Kept, "result"),
    (["bogus", "--json"], "result"),
    (["status", "--frames", "2", "--json"], "result"),
    (["apply", "--config", "{dir}/m.conf", "--validate", "--json"], "result"),
    (["apply", "--config", "{dir}/none.conf", "--json"] + Kept, "result"),
    (["apply", "--config", "{dir}/m.conf", "--port", "/dev/ttyS8", "--json"] + Kept, "result"),
    (["forget", "--port", "{dir}/none", "--json"] + Kept, "result"),
    (["describe", "--json"], "describe"),
    (["status", "--json", "--state-dir", "{dir}"], "status"),
]


def CheckSchemas(root, program):
    schemas = {}
    for name in ("result", "status", "describe"):
        with open(os.path.join(root, "docs", "schemas", name + ".schema.json"), encoding="utf-8") as file:
            schemas[name] = json.load(file)
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        with open(os.path.join(scratch, "m.conf"), "w") as file:
            file.write("row0 = A\nrow1 = B\nspeed = 200ms\nport = /dev/ttyS9\n")
        environment = dict(os.environ, VFDSTARTUP_CONF=scratch + "/conf", VFDSTARTUP_PORTS="",
                           VFDSTARTUP_LOCK_DIR=scratch)
        for args, schema in Answers:
            args = [arg.replace("{dir}", scratch) for arg in args]
            answer = subprocess.run([program] + args, capture_output=True, text=True, env=environment)
            try:
                jsonschema.validate(json.loads(answer.stdout), schemas[schema])
                if schema == "describe":
                    named = [outcome["name"] for outcome in json.loads(answer.stdout)["outcomes"]]
                    if sorted(named) != sorted(schemas["result"]["properties"]["outcome"]["enum"]):
                        problems.append("result.schema.json's outcomes are not describe's: %s" % named)
            except (ValueError, jsonschema.ValidationError) as error:
                problems.append("%s: %s\n%s" % (" ".join(args), str(error).splitlines()[0], answer.stdout))
    return problems


def main():
    checks = {"links": CheckLinks, "synopsis": CheckSynopsis, "man": CheckManPage, "schemas": CheckSchemas}
    if len(sys.argv) < 3 or sys.argv[1] not in checks:
        print(__doc__)
        return 2
    problems = checks[sys.argv[1]](*sys.argv[2:])
    for problem in problems:
        print(problem)
    print("%s: %s" % (sys.argv[1], "FAILED" if problems else "passed"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

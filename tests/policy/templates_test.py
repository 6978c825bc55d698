#!/usr/bin/python3
"""The Group Policy templates against the program that reads the policy.

vfdstartup.admx and en-US/vfdstartup.adml must be well-formed (xmllint),
every $(string.X) and $(presentation.X) the ADMX names must be in the ADML,
every presentation control must name an element of the policy, the policy's
key and value names must be the ones `vfdstartup-cli describe --json`
reports, and the speed drop-down's values must be the program's speed
labels, in order.

  templates_test.py VFDSTARTUP_CLI
"""
import json
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

HERE = pathlib.Path(__file__).resolve().parent
TEMPLATES = HERE.parent.parent / "deploy" / "windows" / "PolicyDefinitions"
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


def main():
    admx_path, adml_path = TEMPLATES / "vfdstartup.admx", TEMPLATES / "en-US" / "vfdstartup.adml"
    lint = subprocess.run(["xmllint", "--noout", str(admx_path), str(adml_path)], capture_output=True, text=True)
    check(lint.returncode == 0, "xmllint: " + lint.stderr.strip())
    program = json.loads(subprocess.run([sys.argv[1], "describe", "--json"], check=True, capture_output=True,
                                        text=True).stdout)
    admx, adml = ET.parse(admx_path).getroot(), ET.parse(adml_path).getroot()
    admx_text = admx_path.read_text(encoding="utf-8")

    strings = {s.get("id") for s in adml.iterfind(".//p:stringTable/p:string", NS)}
    presentations = {p.get("id"): p for p in adml.iterfind(".//p:presentationTable/p:presentation", NS)}
    for name in re.findall(r"\$\(string\.([^)]+)\)", admx_text):
        check(name in strings, "the ADMX names string %s, which the ADML lacks" % name)
    for name in re.findall(r"\$\(presentation\.([^)]+)\)", admx_text):
        check(name in presentations, "the ADMX names presentation %s, which the ADML lacks" % name)

    policies = admx.findall(".//p:policies/p:policy", NS)
    check(len(policies) == 1, "one policy, not %d" % len(policies))
    policy = policies[0]
    check(policy.get("class") == "Machine", "the policy is the machine's")
    check("HKLM\\" + policy.get("key").upper() == program["policy"]["key"].upper(),
          "the policy's key %s is not the program's %s" % (policy.get("key"), program["policy"]["key"]))
    elements = list(policy.find("p:elements", NS))
    ids = {e.get("id") for e in elements}
    value_names = [e.get("valueName") for e in elements]
    check(sorted(value_names) == sorted(program["policy"]["values"]),
          "the value names %s are not the ones the program reads %s" % (value_names, program["policy"]["values"]))
    for element in elements:
        check(element.get("key") is None, "%s writes under a key of its own" % element.get("id"))
        if element.tag.endswith("}text") and element.get("valueName").startswith("Row"):
            check(element.get("maxLength") == str(program["row_max"]),
                  "%s takes %s characters, the program %s" % (element.get("id"), element.get("maxLength"),
                                                              program["row_max"]))
    presentation = presentations.get(re.sub(r"^\$\(presentation\.(.*)\)$", r"\1", policy.get("presentation")))
    controls = [c.get("refId") for c in presentation] if presentation is not None else []
    check(sorted(controls) == sorted(ids), "the presentation's controls %s are not the elements %s" % (controls, ids))

    speeds = [v.text for v in policy.iterfind(".//p:enum[@valueName='Speed']/p:item/p:value/p:string", NS)]
    check(speeds == program["speeds"], "the drop-down's speeds %s are not the program's %s" % (speeds, program["speeds"]))
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

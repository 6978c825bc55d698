#!/usr/bin/python3
"""The Application log's messages, read back from the built Windows program.

Every outcome that `describe --json` lists must carry an event ID of its own,
and the message table compiled into vfdstartup-cli.exe must hold a message
for that ID that names the outcome and has the inserts for the port (%2) and
the reason (%3).

  event_messages_test.py VFDSTARTUP_CLI_EXE [RUNNER...]
The program is asked with RUNNER (e.g. tools/wine-rig/wine-run) in front;
given as a native vfdstartup-cli instead, that one is asked.
"""
import json
import struct
import subprocess
import sys

import pefile

RT_MESSAGETABLE = 11


def MessageTable(path):
    """{id: text} of the program's message table resource."""
    pe = pefile.PE(path)
    messages = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != RT_MESSAGETABLE:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                messages.update(Decode(data))
    return messages


def Decode(data):
    # MESSAGE_RESOURCE_DATA: blocks of (low id, high id, offset), each entry
    # (length, flags, text); flags 1: UTF-16.
    (blocks,) = struct.unpack_from("<I", data, 0)
    messages = {}
    for block in range(blocks):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            raw = data[offset + 4:offset + length]
            text = raw.decode("utf-16-le" if flags & 1 else "latin-1")
            messages[message_id] = text.rstrip("\0")
            offset += length
    return messages


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    runner = sys.argv[2:] if len(sys.argv) > 2 else []
    if runner and not runner[-1].endswith(".exe") and "wine" not in runner[-1]:
        command = runner  # a native vfdstartup-cli
    else:
        command = runner + [sys.argv[1]]
    described = json.loads(subprocess.run(command + ["describe", "--json"], check=True, capture_output=True,
                                          text=True).stdout.splitlines()[-1])
    table = MessageTable(sys.argv[1])
    failures = []
    ids = [outcome.get("event_id") for outcome in described["outcomes"]]
    if len(set(ids)) != len(ids) or None in ids:
        failures.append("the outcomes' event IDs are not one each: %s" % ids)
    for outcome in described["outcomes"]:
        text = table.get(outcome.get("event_id"), "")
        if "(%s)" % outcome["name"] not in text or "%2" not in text or "%3" not in text:
            failures.append("outcome %s, event %s: message %r" % (outcome["name"], outcome.get("event_id"), text))
    for failure in failures:
        print("FAIL: " + failure)
    print("%d outcomes, %d messages, %d failure(s)" % (len(ids), len(table), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

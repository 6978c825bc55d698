#!/usr/bin/python3
"""Checks what an emulated display saw, from its JSON-lines log.

  check_log.py LOG [--commands "enter exit ..."] [--handshake "0 0 1 ..."]
               [--opens N] [--records N]

--commands   the commands the display received, in order ("" for none)
--handshake  for each of those commands, whether the line had CTS output
             handshake on (1) or off (0) when it arrived
--opens      how many times a program opened the port
--records    how many records the program wrote

Every command must also arrive at 38400 baud, 8N1, DTR and RTS raised and
no XON/XOFF, and the line must carry no bytes that are not a command.

Known Wine gap: with CTS output handshake on, Wine's SetCommState raises DTR
but leaves RTS as it was (it treats RTS as the handshake's line), so RTS is
only noted, not checked, for those commands.
"""
import argparse
import json
import sys

LINE_PROFILE = {"baud": 38400, "data_bits": 8, "parity": "none", "stop_bits": 1,
                "dtr": True, "rts": True, "ixon": False, "ixoff": False}


def read_events(path):
    with open(path, encoding="utf-8") as log:
        return [json.loads(line) for line in log if line.strip()]


def check(failures, condition, message):
    if not condition:
        failures.append(message)


def check_commands(failures, notes, commands, expected):
    names = [c["name"] for c in commands]
    check(failures, names == expected, f"commands {names}, expected {expected}")
    for c in commands:
        check(failures, c["accepted"], f"command {c['name']} (seq {c['seq']}) was refused")
        line = c.get("line") or {}
        for key, value in LINE_PROFILE.items():
            if key == "rts" and line.get("crtscts") and line.get(key) != value:
                notes.add("RTS not raised under CTS handshake (known Wine gap)")
                continue
            check(failures, line.get(key) == value,
                  f"command {c['name']} (seq {c['seq']}): {key} {line.get(key)!r}, expected {value!r}")


def check_handshake(failures, commands, expected):
    seen = [1 if (c.get("line") or {}).get("crtscts") else 0 for c in commands]
    check(failures, seen == expected, f"CTS handshake per command {seen}, expected {expected}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("--commands")
    parser.add_argument("--handshake")
    parser.add_argument("--opens", type=int)
    parser.add_argument("--records", type=int)
    args = parser.parse_args()

    events = read_events(args.log)
    commands = [e for e in events if e["event"] == "command"]
    failures = []
    notes = set()
    if args.commands is not None:
        check_commands(failures, notes, commands, args.commands.split())
    if args.handshake is not None:
        check_handshake(failures, commands, [int(x) for x in args.handshake.split()])
    if args.opens is not None:
        opens = sum(1 for e in events if e["event"] == "open")
        check(failures, opens == args.opens, f"port opened {opens} times, expected {args.opens}")
    if args.records is not None:
        records = sum(1 for e in events if e["event"] == "record" and e.get("source") == "write")
        check(failures, records == args.records, f"{records} records written, expected {args.records}")
    stray = [e for e in events if e["event"] in ("ignored", "discarded", "error", "hangup")]
    check(failures, not stray, f"unexpected line events: {stray}")

    name = args.log.rsplit("/", 1)[-1]
    for note in sorted(notes):
        print(f"  ..    {name}: {note}")
    for message in failures:
        print(f"  FAIL {name}: {message}")
    if not failures:
        print(f"  ok   {name}: {len(commands)} commands as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

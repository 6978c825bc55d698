#!/usr/bin/env bash
# Tries the Ansible role on this machine: starts N emulated terminals (default
# 3; each an inventory host with a local connection, its own emulated display
# on its own pty and its own state directory, as tests/fleet/fleet.py makes
# them), runs deploy/ansible/rollout.yml against them with the message in
# MESSAGE.yml (default deploy/ansible/message.example.yml), prints what each
# display now holds, and stops the emulators by their pids, also on Ctrl-C.
#
#   tools/try-fleet.sh [N] [MESSAGE.yml]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
count="${1:-3}"
message="$(realpath "${2:-$ROOT/deploy/ansible/message.example.yml}")"
case "$count" in
  '' | *[!0-9]* | 0) echo "usage: $0 [N] [MESSAGE.yml]" >&2; exit 2 ;;
esac

cd "$ROOT"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload >/dev/null

exec /usr/bin/python3 - "$ROOT/build/linux" "$count" "$message" <<'EOF'
import os
import subprocess
import sys

import yaml

sys.path.insert(0, os.path.join(os.getcwd(), "tests", "fleet"))
import fleet

build, count, messageFile = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(messageFile) as file:
    message = yaml.safe_load(file)
rows, speed = message.pop("vfdstartup_rows", []), message.pop("vfdstartup_speed", "300ms")

fleet.StopOnSignals()
theFleet = fleet.Fleet(build, count)
try:
    if not theFleet.Start():
        sys.exit("the emulators did not start (see %s)" % theFleet.dir)
    print("ansible-playbook deploy/ansible/rollout.yml -e @%s --forks %d, to terminals t1..t%d in %s\n"
          % (messageFile, count, count, theFleet.dir))
    run = theFleet.Rollout(rows, speed, extraVars=message)
    print(run.output)
    for terminal in theFleet.terminals:
        print("%s's display now holds:" % terminal.name)
        shown = subprocess.run([theFleet.emulator, "--print-message", "--store", terminal.store],
                               stdout=subprocess.PIPE, text=True).stdout
        print("".join("    " + line + "\n" for line in shown.splitlines()))
    sys.exit(run.rc)
except KeyboardInterrupt:
    sys.exit(130)
finally:
    theFleet.Stop()
EOF

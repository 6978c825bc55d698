#!/usr/bin/env bash
# Benchmark (not a test): the wall time of an Ansible rollout
# (deploy/ansible/rollout.yml) of a new message to 1, 6 and 24 emulated
# terminals on this machine, forks = terminals, median of RUNS runs (3),
# every run a new message so that every display really writes. Next to each:
# the same playbook with a program that answers at once (Ansible's own cost
# per run: start-up, a worker and a module process per host), each display's
# exchange from its emulator's log, the window in which the displays were
# busy, and the rollout over one terminal's rollout. Goal: 24 terminals in at
# most 4 x one terminal's time (one after another it would be 24 x).
#
#   scripts/bench-fleet.sh [--build-dir DIR] [--runs N]
#
# About a minute and a half on 2 cores. Figures from a shared machine: quote
# medians, and the ratio.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

build="$ROOT/build/linux"
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    *) echo "usage: $0 [--build-dir DIR] [--runs N]" >&2; exit 2 ;;
  esac
done

if [ "$build" = "$ROOT/build/linux" ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload >/dev/null
fi
exec /usr/bin/python3 tests/fleet/fleet_bench.py "$build" "$runs"

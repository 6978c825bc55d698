#!/usr/bin/env bash
# Benchmark (not a test): the Linux program through real kernel serial
# drivers in a QEMU guest (tools/qemu-guest) against emulated displays here.
#
#  1. One write through the 8250 UART (ttyS1) and through ftdi_sio (ttyUSB0),
#     WRITES runs each (default 10), next to the same write on a pty on this
#     machine: the exchange, enter command to exit command, from each
#     display's log, and the whole run. Goal: each driver's exchange within
#     1.10 x the pty's. QEMU does not pace bytes at the baud rate, so no wire
#     time is in any of them.
#  2. A rollout of a new message to three terminals (forks 2) over SSH to
#     three guests, next to the same rollout with local connections
#     (tests/fleet), ROLLOUTS runs each (default 3) after a first one.
#
#   scripts/bench-drivers.sh [--writes N] [--rollouts N]
#
# About three minutes on 2 cores. Figures from a shared machine: quote
# medians.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

writes=10
rollouts=3
while [ $# -gt 0 ]; do
  case "$1" in
    --writes) writes="$2"; shift 2 ;;
    --rollouts) rollouts="$2"; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-drivers: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload >/dev/null
exec /usr/bin/python3 tests/qemu/drivers_bench.py build/linux "$writes" "$rollouts"

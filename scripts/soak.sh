#!/usr/bin/env bash
# Soak (not part of the test stage): PRESSES consecutive "Write to VFD"
# presses (default 300) through the real vfdstartup.exe under Wine against an
# emulated display on COM3, alternating texts (0 to 63 characters, every
# printable character in turn) and all six speeds. After every press the
# driver checks the box, waits for the port's close and compares the stored
# record byte for byte; every 1/12 of the run it samples the program's
# handle count and memory (GetProcessHandleCount, GetProcessMemoryInfo) and
# prints the first, last and largest figures. Afterwards the display's log
# must show exactly the commands of PRESSES writes, each at 38400 8N1, and
# the port's settings put back after every close.
#
#   scripts/soak.sh [PRESSES] [--build-dir DIR]
#
#   --build-dir DIR  the cross build to use (default build/windows); built
#                    as needed
#
# About 0.6 s a press: 300 presses take three to four minutes.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

presses=300
build="$ROOT/build/windows"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    [0-9]*) presses="$1"; shift ;;
    *) echo "soak: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/wine-bench-common.sh
source "$ROOT/scripts/wine-bench-common.sh"
build_windows "$build"

start_rig --port COM3 --opos-port COM3
set_line_baseline COM3

echo "soak: $presses presses under Wine ($(wine --version 2>/dev/null)) against the emulated display on COM3"
start=$SECONDS
status=0
tools/wine-rig/wine-run "$DRIVER" soak --program "$PROGRAM" --port COM3 --record "$RIG_DIR/vfd-com3.rec" \
  --count "$presses" >"$RIG_DIR/soak.out" 2>&1 || status=1
grep -v '^  ok  ' "$RIG_DIR/soak.out" || true
commands="enter exit$(printf ' enter query write exit%.0s' $(seq 1 "$presses"))"
/usr/bin/python3 tests/e2e/check_log.py "$RIG_DIR/vfd-com3.log" --commands "$commands" \
  --opens $((presses + 1)) --records "$presses" --restored "$BASELINE_LINE" || status=1
echo "soak: $([ "$status" = 0 ] && echo passed || echo FAILED), wall time $((SECONDS - start)) s"
exit "$status"

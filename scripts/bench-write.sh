#!/usr/bin/env bash
# Benchmark (not a test): figures of the real vfdstartup.exe under Wine
# against emulated displays on ptys.
#
#  1. One successful "Write to VFD" sequence, from the button press to the
#     outcome box appearing (RUNS runs, default 20; both rows at 63
#     characters), median and spread, next to the floor the protocol
#     imposes: the waits before the box (10 + 10 + 50 + 100 + 10 = 180 ms),
#     the 176 bytes on the wire at 38400 baud 8N1 (6 + 5 + 4 + 128 + 7 sent,
#     4 + 18 + 4 received, 10 bits a byte: 45.8 ms), and the reply polls
#     (a reply that is not there at the first read costs up to one 100 ms
#     poll: the enter and query replies do, the confirmation, read 100 ms
#     after the record, does not).
#  2. Process start to the dialog shown, with 0, 4 and 16 listed ports whose
#     modules hold CTS down and no configured port (STARTS runs each,
#     default 5).
#  3. The executable's size.
#
#   scripts/bench-write.sh [--build-dir DIR] [--runs N] [--starts N]
#
# About a minute. A pty passes bytes at once, whatever the baud rate, so the
# wire time is part of the floor on a real line but not of the measurement.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

build="$ROOT/build/windows"
runs=20
starts=5
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --starts) starts="$2"; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-write: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

# shellcheck source=scripts/wine-bench-common.sh
source "$ROOT/scripts/wine-bench-common.sh"
build_windows "$build"

WAITS_MS=180
WIRE_BYTES=$((6 + 5 + 4 + 128 + 7 + 4 + 18 + 4))
POLLS_MS=200
floor_line="$(awk -v w="$WAITS_MS" -v b="$WIRE_BYTES" -v p="$POLLS_MS" 'BEGIN {
  wire = b * 10 * 1000 / 38400
  printf "%.1f %.1f %.1f", wire, w + wire, w + wire + p }')"
read -r wire_ms floor_ms floor_polls_ms <<<"$floor_line"

echo "write sequence under Wine ($(wine --version 2>/dev/null)), emulated display on a pty"
start_rig --port COM3 --opos-port COM3
tools/wine-rig/wine-run "$DRIVER" bench-write --program "$PROGRAM" --port COM3 \
  --record "$RIG_DIR/vfd-com3.rec" --count "$runs" >"$RIG_DIR/bench.out" 2>&1 ||
  { cat "$RIG_DIR/bench.out"; exit 1; }
measured="$(grep 'button press to the outcome box' "$RIG_DIR/bench.out" | sed 's/^ *\.\. *//')"
median="$(sed -n 's/.*median \([0-9.]*\) ms.*/\1/p' <<<"$measured")"
stop_rig
echo "  measured: $measured"
echo "  floor: waits $WAITS_MS ms + $WIRE_BYTES bytes at 38400 8N1 $wire_ms ms = $floor_ms ms;" \
  "with the two replies that miss the first read, + up to $POLLS_MS ms = $floor_polls_ms ms"
awk -v m="$median" -v f="$floor_ms" -v g="$floor_polls_ms" -v w="$WAITS_MS" -v p="$POLLS_MS" 'BEGIN {
  printf "  ratio: median / floor %.2f; median / floor with polls %.2f; median / (waits + polls, no wire on a pty) %.2f\n",
    m / f, m / g, m / (w + p) }'

echo "start-up to the dialog shown, listed ports with CTS down, no configured port"
cts_down=()
for i in $(seq 1 16); do cts_down+=(--exec "COM$i=mode cts-down"); done
start_rig --ports 16 "${cts_down[@]}"
for count in 0 4 16; do
  if [ "$count" = 0 ]; then
    listed=none
  else
    listed="$(seq 1 "$count" | sed 's/.*/Serial&=COM&/' | paste -sd, -)"
  fi
  tools/wine-rig/rig.sh serialcomm "$listed" >/dev/null
  tools/wine-rig/wine-run "$DRIVER" bench-startup --program "$PROGRAM" --count "$starts" \
    >"$RIG_DIR/start-$count.out" 2>&1 || { cat "$RIG_DIR/start-$count.out"; exit 1; }
  echo "  $count ports: $(grep 'process start to the dialog' "$RIG_DIR/start-$count.out" | sed 's/^ *\.\. *//')"
done
stop_rig

echo "executable: $PROGRAM, $(stat -c %s "$PROGRAM") bytes"

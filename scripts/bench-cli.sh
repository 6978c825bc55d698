#!/usr/bin/env bash
# Benchmark (not a test): figures of the Linux console program (Release build)
# against emulated displays on ptys.
#
#  1. find over 1, 4 and 16 silent ports (CTS up, no answer), RUNS runs each
#     (default 3), median and spread, next to the floor of one such probe
#     (10 ms for CTS + 50 empty polls 100 ms apart + 50 ms after the exit
#     command = 5060 ms) and the sum the dialog's one-by-one discovery needs
#     (ports x 5060 ms). Goal: 16 ports within 1.2 x one probe's floor.
#  2. One write (WRITES runs, default 20) from process start to exit, next
#     to the protocol's floor on a pty: the sequence's waits (10 + 10 + 50 +
#     100 + 10 ms, and 50 ms after the outcome) and the two replies that are
#     not there at the first read (100 ms each): 430 ms. A pty passes bytes at
#     once, so there is no wire time. Goal: within 1.05 x the floor.
#
#   scripts/bench-cli.sh [--runs N] [--writes N]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

runs=3
writes=20
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --writes) writes="$2"; shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-cli: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload >/dev/null
CLI="$ROOT/build/linux/src/cli/vfdstartup-cli"
EMULATOR="$ROOT/build/linux/tools-bin/vfd-emulator"
export LD_PRELOAD="$ROOT/build/linux/tools-bin/lib/x86_64-linux-gnu/libvfd_modem_lines.so"

DIR="$(mktemp -d /tmp/vfd-bench-cli.XXXXXX)"
PIDS=()
clean_up() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$DIR"
}
trap clean_up EXIT

# start_display NAME [MODE]: an emulator on $DIR/NAME.
start_display() {
  local name="$1"
  "$EMULATOR" --link "$DIR/$name" --control "$DIR/$name.ctl" --log "$DIR/$name.log" \
    --store "$DIR/$name.rec" --no-display ${2:+--mode "$2"} >"$DIR/$name.out" 2>&1 &
  PIDS+=($!)
}

# Milliseconds one run of the command takes, wall clock.
time_ms() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

# "median min max" of the numbers on standard input.
summary() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

for i in $(seq 1 16); do start_display "silent$i" silent; done
start_display display
for i in $(seq 1 16); do
  while [ ! -e "$DIR/silent$i" ]; do sleep 0.05; done
done
while [ ! -e "$DIR/display" ]; do sleep 0.05; done
export VFDSTARTUP_CONF="$DIR/none.conf"

PROBE_FLOOR=5060
echo "find over silent ports (CTS up, no answer), $runs runs each; one probe's floor $PROBE_FLOOR ms"
for count in 1 4 16; do
  export VFDSTARTUP_PORTS="$(for i in $(seq 1 "$count"); do printf '%s ' "$DIR/silent$i"; done)"
  read -r median low high < <(for _ in $(seq 1 "$runs"); do time_ms "$CLI" find; done | summary)
  awk -v n="$count" -v m="$median" -v l="$low" -v h="$high" -v f="$PROBE_FLOOR" 'BEGIN {
    printf "  %2d ports: median %5d ms (%d..%d)  = %.2f x one probe floor; one by one: %d ms\n",
      n, m, l, h, m / f, n * f }'
done

WRITE_FLOOR=430
unset VFDSTARTUP_PORTS
echo "write through the Linux build, $writes runs; floor $WRITE_FLOOR ms"
read -r median low high < <(for i in $(seq 1 "$writes"); do
  time_ms "$CLI" write --port "$DIR/display" --row0 "Run $i" --state-dir "$DIR/state"
done | summary)
awk -v m="$median" -v l="$low" -v h="$high" -v f="$WRITE_FLOOR" 'BEGIN {
  printf "  median %d ms (%d..%d) = %.3f x the floor\n", m, l, h, m / f }'
grep -c '"event":"record"' "$DIR/display.log" | sed 's/^/  records the display stored: /'

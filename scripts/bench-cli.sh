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
#  3. The cost of other processes: find over 32 silent ports, and one write,
#     each with and without 1,000 extra processes holding 30 descriptors
#     each (/dev/null), median and spread. Goals: find at most 1.2 x, the
#     write at most 1.1 x the same run without them.
#  4. write without --port, the display first of 8 candidates and the 7
#     others silent, against write --port on the display (WRITES runs each).
#     Goal: at most 1.1 x. Its floor is write --port plus one probe of the
#     display (10 ms for CTS, one 100 ms poll for the reply, 50 ms after the
#     exit command: 160 ms), since the dialog's order probes before it writes.
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

# shellcheck source=scripts/linux-bench-common.sh
source "$ROOT/scripts/linux-bench-common.sh"
build_linux_tools
export LD_PRELOAD="$PRELOAD"
make_scratch_dir bench-cli

# start_display NAME [MODE]: an emulator on $DIR/NAME. It takes no reports
# of opens and closes: answering them waits for its look at /proc, which
# would time the emulator among 1,000 extra processes, not the program.
start_display() {
  local name="$1"
  "$EMULATOR" --link "$DIR/$name" --control "$DIR/$name.ctl" --log "$DIR/$name.log" \
    --store "$DIR/$name.rec" --no-display --no-port-reports ${2:+--mode "$2"} >"$DIR/$name.out" 2>&1 &
  PIDS+=($!)
}

# Milliseconds one run of the command takes, wall clock.
time_ms() { echo $(($(time_us "$@") / 1000)); }

# "median min max" of the numbers on standard input.
summary() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

for i in $(seq 1 32); do start_display "silent$i" silent; done
start_display display
for i in $(seq 1 32); do
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

# "median min max" of WRITES writes: write_runs ARGS... (each run its own row).
write_runs() {
  for i in $(seq 1 "$writes"); do time_ms "$CLI" write "$@" --row0 "Run $i" --state-dir "$DIR/state"; done | summary
}

# find over 32 silent ports, RUNS runs: "median min max".
find_runs() {
  (
    export VFDSTARTUP_PORTS="$(for i in $(seq 1 32); do printf '%s ' "$DIR/silent$i"; done)"
    for _ in $(seq 1 "$runs"); do time_ms "$CLI" find; done
  ) | summary
}

HOLDERS=()
start_holders() {
  local fds="" fd
  for fd in $(seq 3 32); do fds+=" $fd</dev/null"; done
  for _ in $(seq 1 1000); do
    eval "sleep 3600 $fds &"
    HOLDERS+=($!)
  done
}
stop_holders() {
  for pid in "${HOLDERS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${HOLDERS[@]}"; do wait "$pid" 2>/dev/null || true; done
  HOLDERS=()
}
trap 'stop_holders; clean_up' EXIT

echo "other processes: 1,000 extra, 30 descriptors each; goals find 1.2 x, write 1.1 x"
read -r find_plain find_plain_low find_plain_high < <(find_runs)
read -r write_plain write_plain_low write_plain_high < <(write_runs --port "$DIR/display")
start_holders
read -r find_held find_held_low find_held_high < <(find_runs)
read -r write_held write_held_low write_held_high < <(write_runs --port "$DIR/display")
stop_holders
awk -v p="$find_plain" -v pl="$find_plain_low" -v ph="$find_plain_high" \
    -v h="$find_held" -v hl="$find_held_low" -v hh="$find_held_high" 'BEGIN {
  printf "  find, 32 silent ports: %d ms (%d..%d) without, %d ms (%d..%d) with = %.2f x (goal 1.2)\n",
    p, pl, ph, h, hl, hh, h / p }'
awk -v p="$write_plain" -v pl="$write_plain_low" -v ph="$write_plain_high" \
    -v h="$write_held" -v hl="$write_held_low" -v hh="$write_held_high" 'BEGIN {
  printf "  one write:             %d ms (%d..%d) without, %d ms (%d..%d) with = %.2f x (goal 1.1)\n",
    p, pl, ph, h, hl, hh, h / p }'

PROBE_OF_DISPLAY=160
echo "write without --port, the display first of 8 candidates, 7 silent; $writes runs each; goal 1.1 x"
export VFDSTARTUP_PORTS="$DIR/display $(for i in $(seq 1 7); do printf '%s ' "$DIR/silent$i"; done)"
read -r searched searched_low searched_high < <(write_runs)
read -r given given_low given_high < <(write_runs --port "$DIR/display")
unset VFDSTARTUP_PORTS
awk -v s="$searched" -v sl="$searched_low" -v sh="$searched_high" -v g="$given" -v gl="$given_low" \
    -v gh="$given_high" -v p="$PROBE_OF_DISPLAY" 'BEGIN {
  printf "  write --port %d ms (%d..%d); write %d ms (%d..%d) = %.2f x (goal 1.1; floor %.2f x: one probe of %d ms first)\n",
    g, gl, gh, s, sl, sh, s / g, (g + p) / g, p }'

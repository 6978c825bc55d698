#!/usr/bin/env bash
# Benchmark (not a test): what a process of many threads, each with a
# descriptor table of its own (unshare(CLONE_FILES)), costs the look at who
# holds a port (Release build of the Linux console program, run as root).
# The process is another account's, as any local account could start it.
#
#  1. find on one display whose CTS is down (one look, 10 ms for CTS), and
#     write --port on the display (two looks: before the open and before the
#     record), RUNS runs each (default 5), median and spread, with no such
#     process and with one of 2,000 and of 4,000 threads. Goal: 4,000 threads
#     cost at most 1.5 s over none, for each.
#  2. A stop request during the look: write --port with a process of 8,000
#     threads, SIGTERM 100 ms after the start; the time from the signal to the
#     exit, the exit code (143) and the bytes the display received (none).
#     Goal: the look ends at once (floor: 0 ms; within 100 ms).
#
#   scripts/bench-threads.sh [--runs N]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

# shellcheck source=scripts/linux-bench-common.sh
source "$ROOT/scripts/linux-bench-common.sh"
parse_runs_option bench-threads 5 "$@"
[ "$(id -u)" -eq 0 ] || { echo "bench-threads: run as root (the look of root, another account's threads)" >&2; exit 2; }
build_linux_tools
export LD_PRELOAD="$PRELOAD"
make_scratch_dir bench-threads
chmod 755 "$DIR"

# start_display NAME [MODE]: an emulator on $DIR/NAME that takes no reports
# of opens and closes (answering them would time its own look at /proc).
start_display() {
  local name="$1"
  "$EMULATOR" --link "$DIR/$name" --control "$DIR/$name.ctl" --log "$DIR/$name.log" \
    --store "$DIR/$name.rec" --no-display --no-port-reports ${2:+--mode "$2"} >"$DIR/$name.out" 2>&1 &
  PIDS+=($!)
  while [ ! -e "$DIR/$name" ]; do sleep 0.05; done
}
start_display display
start_display ctsdown cts-down
export VFDSTARTUP_CONF="$DIR/none.conf" VFDSTARTUP_LOCK_DIR="$DIR"

# A process of N threads, each with a table of its own, of an account no
# other process has; it says "ready" once every thread has unshared.
THREADS_PID=""
start_threads() {
  local account=$((0x60000000 + $$))
  setpriv --reuid="$account" --regid="$account" --clear-groups /usr/bin/python3 -c '
import ctypes, sys, threading
libc = ctypes.CDLL(None, use_errno=True)
ready, stop = threading.Semaphore(0), threading.Event()
def own_table():
    if libc.unshare(0x400) != 0:  # CLONE_FILES
        sys.exit("unshare failed")
    ready.release()
    stop.wait()
threading.stack_size(64 * 1024)
for _ in range(int(sys.argv[1])):
    threading.Thread(target=own_table, daemon=True).start()
for _ in range(int(sys.argv[1])):
    ready.acquire()
print("ready", flush=True)
stop.wait()' "$1" >"$DIR/threads.out" 2>&1 &
  THREADS_PID=$!
  until grep -q ready "$DIR/threads.out"; do
    kill -0 "$THREADS_PID" 2>/dev/null || { cat "$DIR/threads.out" >&2; exit 1; }
    sleep 0.1
  done
}
stop_threads() {
  [ -z "$THREADS_PID" ] || { kill "$THREADS_PID" 2>/dev/null || true; wait "$THREADS_PID" 2>/dev/null || true; }
  THREADS_PID=""
}
trap 'stop_threads; clean_up' EXIT

# Milliseconds one run of the command takes, wall clock.
time_ms() { echo $(($(time_us "$@") / 1000)); }
# "median min max" of the numbers on standard input.
summary() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

find_runs() { for _ in $(seq 1 "$runs"); do time_ms "$CLI" find --port "$DIR/ctsdown"; done | summary; }
write_runs() {
  for i in $(seq 1 "$runs"); do
    time_ms "$CLI" write --port "$DIR/display" --row0 "Run $i" --state-dir "$DIR/state"
  done | summary
}

echo "a process of N threads, each with its own descriptor table; $runs runs each; goal: 4,000 within 1.5 s of none"
read -r find_none find_none_low find_none_high < <(find_runs)
read -r write_none write_none_low write_none_high < <(write_runs)
printf '  %5s threads: find %6d ms (%d..%d), write --port %6d ms (%d..%d)\n' none \
  "$find_none" "$find_none_low" "$find_none_high" "$write_none" "$write_none_low" "$write_none_high"
for count in 2000 4000; do
  start_threads "$count"
  read -r find_held find_low find_high < <(find_runs)
  read -r write_held write_low write_high < <(write_runs)
  stop_threads
  printf '  %5d threads: find %6d ms (%d..%d), write --port %6d ms (%d..%d); over none: find %+d ms, write %+d ms\n' \
    "$count" "$find_held" "$find_low" "$find_high" "$write_held" "$write_low" "$write_high" \
    $((find_held - find_none)) $((write_held - write_none))
done

echo "a stop request during the look (8,000 threads; SIGTERM 100 ms after the start); floor 0 ms, goal within 100 ms"
start_threads 8000
received_before=$(grep -c '"event":"rx"' "$DIR/display.log" || true)
"$CLI" write --port "$DIR/display" --row0 "Stopped" --state-dir "$DIR/state" >"$DIR/stopped.out" 2>&1 &
writer=$!
sleep 0.1
signalled=$(date +%s%N)
kill -TERM "$writer"
status=0
wait "$writer" || status=$?
ended=$(date +%s%N)
stop_threads
received_after=$(grep -c '"event":"rx"' "$DIR/display.log" || true)
printf '  signal to exit: %d ms; exit code %d (goal 143); bytes the display received: %d reads (goal 0)\n' \
  $(((ended - signalled) / 1000000)) "$status" $((received_after - received_before))
sed 's/^/  the program said: /' "$DIR/stopped.out"

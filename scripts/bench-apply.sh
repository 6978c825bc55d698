#!/usr/bin/env bash
# Benchmark (not a test): `vfdstartup-cli apply` with nothing to do, next to
# the program's own `--version`, wall clock from process start to exit, RUNS
# runs of each taken in turn (default 50). The display (an emulator on a pty)
# holds the message file's message already, so apply reads the file and the
# kept state and opens no port. Goal: at most 20 ms more than --version.
#
#   scripts/bench-apply.sh [--runs N]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

# shellcheck source=scripts/linux-bench-common.sh
source "$ROOT/scripts/linux-bench-common.sh"
parse_runs_option bench-apply 50 "$@"
build_linux_tools
make_scratch_dir bench-apply

"$EMULATOR" --link "$DIR/display" --control "$DIR/display.ctl" --log "$DIR/display.log" \
  --store "$DIR/display.rec" --no-display >"$DIR/display.out" 2>&1 &
PIDS+=($!)
while [ ! -e "$DIR/display" ]; do sleep 0.05; done
printf 'row0 = Welcome to Store 12\nrow1 = "  Open 8-22 every day"\nspeed = 200ms\nport = %s\n' "$DIR/display" \
  >"$DIR/message.conf"
APPLY=("$CLI" apply --config "$DIR/message.conf" --state-dir "$DIR/state")
LD_PRELOAD="$PRELOAD" "${APPLY[@]}" >/dev/null
[ "$("${APPLY[@]}")" = "unchanged: the display on $DIR/display holds this message already" ] ||
  { echo "bench-apply: the second apply did not find the message kept" >&2; exit 1; }
opens="$(grep -c '"event":"open"' "$DIR/display.log")"

: >"$DIR/version.us"
: >"$DIR/apply.us"
for _ in $(seq 1 "$runs"); do
  time_us "$CLI" --version >>"$DIR/version.us"
  time_us "${APPLY[@]}" >>"$DIR/apply.us"
done

# "median min max" in milliseconds.
summary() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.1f %.1f %.1f\n", v[int((NR + 1) / 2)] / 1000, v[1] / 1000, v[NR] / 1000 }'; }
read -r version vlow vhigh < <(summary "$DIR/version.us")
read -r apply alow ahigh < <(summary "$DIR/apply.us")
echo "apply with nothing to do against --version, $runs runs each (load $(cut -d' ' -f1-3 /proc/loadavg))"
echo "  --version        median $version ms ($vlow..$vhigh)"
echo "  apply unchanged  median $apply ms ($alow..$ahigh)"
awk -v a="$apply" -v v="$version" 'BEGIN { printf "  apply costs %.1f ms more (goal: at most 20 ms), %.2f x --version\n", a - v, a / v }'
echo "  the display's port was opened $(($(grep -c '"event":"open"' "$DIR/display.log") - opens)) times during the runs"

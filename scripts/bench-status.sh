#!/usr/bin/env bash
# Benchmark (not a test): what status costs (Release build of the Linux
# console program). 32 kept states, each with its last run, in a state
# directory of their own, each naming a character device of its own as a
# display's port would (nodes made here, of a device number no driver
# takes: status looks at them, never opens them; two names of one device
# would be one display's records); RUNS runs (default 200) of `status` and of `--version`, alternated,
# wall clock from process start to exit. Figure: the median of status minus
# the median of --version. Floor: 0 ms (status does everything --version
# does, and more); goal: at most 5 ms.
#
#   scripts/bench-status.sh [--runs N]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

# shellcheck source=scripts/linux-bench-common.sh
source "$ROOT/scripts/linux-bench-common.sh"
parse_runs_option bench-status 200 "$@"
build_linux_tools
make_scratch_dir bench-status

# "Sale" / "Open 8-22" at 300ms per character.
record="13$(printf '53616C65')$(printf '00%.0s' $(seq 59))13$(printf '4F70656E20382D3232')$(printf '00%.0s' $(seq 54))"
mkdir "$DIR/state"
for i in $(seq 1 32); do
  mknod "$DIR/port$i" c 240 "$i" ||
    { echo "bench-status: making device nodes takes root (CAP_MKNOD)" >&2; exit 1; }
  printf 'device=port%s\nport=%s\nproduct_type=CU20029T307A01 \nrecord=%s\nwritten_at=1765170000\ncommand=apply\n' \
    "$i" "$DIR/port$i" "$record" >"$DIR/state/vfd-port$i.state"
  printf 'device=port%s\nport=%s\ncommand=apply\noutcome=stored\nreason=none\ndetail=stored on %s\ntime=1765170000\n' \
    "$i" "$DIR/port$i" "$DIR/port$i" >"$DIR/state/vfd-port$i.last"
done
shown=$("$CLI" status --state-dir "$DIR/state" | grep -c '^  last run: stored' || true)
[ "$shown" -eq 32 ] || { echo "bench-status: status showed $shown of 32 ports" >&2; exit 1; }

: >"$DIR/status.us"
: >"$DIR/version.us"
for _ in $(seq 1 "$runs"); do
  time_us "$CLI" status --state-dir "$DIR/state" >>"$DIR/status.us"
  time_us "$CLI" --version >>"$DIR/version.us"
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
status=$(median "$DIR/status.us")
version=$(median "$DIR/version.us")
awk -v s="$status" -v v="$version" -v n="$runs" 'BEGIN {
  printf "status with 32 kept states: median %.2f ms; --version: median %.2f ms (%d runs each)\n", s / 1000, v / 1000, n
  printf "status costs %.2f ms over --version; floor 0 ms, goal at most 5 ms: %s\n", (s - v) / 1000,
    (s - v <= 5000 ? "met" : "NOT met") }'

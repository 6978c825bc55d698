#!/usr/bin/env bash
# Benchmark (not a test): the CPU time the Windows service vfdstartup uses
# while idle, under Wine. The service (the cross build's vfdstartup-cli.exe
# service, registered with sc create) starts, applies a policy's message to
# the emulated display on COM1 once, and then waits for notifications only.
# Its process's CPU time (user + system, from /proc) is read when it has
# settled and SECONDS later (default 60). Floor: 0 s (nothing polls); Wine's
# own threads in the process may add a little.
#
#   scripts/bench-service.sh [--seconds N]
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
# shellcheck source=scripts/wine-bench-common.sh
source scripts/wine-bench-common.sh

seconds=60
case "${1:-}" in
  --seconds) seconds="${2:?--seconds N}" ;;
  "") ;;
  *) echo "usage: $0 [--seconds N]" >&2; exit 2 ;;
esac

cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target vfdstartup-cli >/dev/null
exe="Z:$(printf '%s' "$ROOT/build/windows/src/cli/vfdstartup-cli.exe" | tr / '\\')"

start_rig --ports 1
wine reg add 'HKLM\Software\Policies\vfdstartup' /v Row0 /d Idle /f /reg:64 >/dev/null 2>&1
wine reg add 'HKLM\Software\Policies\vfdstartup' /v Row1 /d Service /f /reg:64 >/dev/null 2>&1
wine reg add 'HKLM\Software\Policies\vfdstartup' /v Speed /d 100ms /f /reg:64 >/dev/null 2>&1
wine sc create vfdstartup binPath= "\"$exe\" service" start= demand >/dev/null 2>&1
wine sc start vfdstartup >/dev/null 2>&1

# The service's process: the one of this rig's prefix running the program.
service_pid() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    local pid="${environ#/proc/}"; pid="${pid%/environ}"
    { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    { tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | grep -q 'vfdstartup-cli.exe' && { echo "$pid"; return; }
  done
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

pid=""
for _ in $(seq 1 40); do pid="$(service_pid)"; [ -n "$pid" ] && break; sleep 0.25; done
[ -n "$pid" ] || { echo "bench-service: the service's process was not found" >&2; exit 1; }
sleep 10  # the start's apply: a search of COM1, where the display answers, and a write
hz="$(getconf CLK_TCK)"
before="$(cpu_ticks "$pid")"
sleep "$seconds"
after="$(cpu_ticks "$pid")"
wine sc stop vfdstartup >/dev/null 2>&1 || true
awk -v t=$((after - before)) -v start="$before" -v hz="$hz" -v s="$seconds" 'BEGIN {
  printf "service idle for %d s: %.2f s of CPU (floor 0 s: nothing polls); its start and apply took %.2f s\n",
    s, t / hz, start / hz }'

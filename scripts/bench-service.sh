#!/usr/bin/env bash
# Benchmark (not a test): the CPU time the Windows service vfdstartup uses
# while idle, under Wine. The service (the cross build's vfdstartup-cli.exe
# service, registered with sc create) starts, applies a policy's message to
# the emulated display on COM1 once, and then waits for notifications only.
# Its process's CPU time (user + system, from /proc) is read when it has
# settled and SECONDS later (default 60). Floor: 0 s (nothing polls); Wine's
# own threads in the process may add a little.
#
# Then the same after a restart, with %ProgramData%\vfdstartup there and a
# kept state that counts (every boot after the first): the records the
# display received, the runs the service recorded (one event each: every
# apply rewrites vfd-COM1.last, counted with inotify) and the service's and
# the Wine server's CPU in the SECONDS after the restart. Floor: 0 records,
# at most 1 event, under 0.1 s of the service's CPU.
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
# The port named: the service manager's processes run without the rig's
# modem-line fixture, so a search would find CTS down on COM1 and store nothing.
wine reg add 'HKLM\Software\Policies\vfdstartup' /v Port /d COM1 /f /reg:64 >/dev/null 2>&1
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
awk -v t=$((after - before)) -v start="$before" -v hz="$hz" -v s="$seconds" 'BEGIN {
  printf "service idle for %d s: %.2f s of CPU (floor 0 s: nothing polls); its start and apply took %.2f s\n",
    s, t / hz, start / hz }'

# The Wine server of this rig's prefix.
wineserver_pid() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    local pid="${environ#/proc/}"; pid="${pid%/environ}"
    case "$(cat "/proc/$pid/comm" 2>/dev/null)" in wineserver*) ;; *) continue ;; esac
    { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && { echo "$pid"; return; }
  done
}
# Files named NAME made or renamed into DIR during SECONDS: the service's runs.
count_replacements() {
  /usr/bin/python3 - "$@" <<'PY'
import ctypes, os, select, struct, sys, time
folder, name, seconds = sys.argv[1], sys.argv[2].encode(), float(sys.argv[3])
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(os.O_NONBLOCK)
libc.inotify_add_watch(fd, folder.encode(), 0x180)  # IN_MOVED_TO, IN_CREATE
end, count = time.monotonic() + seconds, 0
while (left := end - time.monotonic()) > 0:
    if not select.select([fd], [], [], left)[0]:
        continue
    data, at = os.read(fd, 1 << 16), 0
    while at < len(data):
        length = struct.unpack_from("iIII", data, at)[3]
        count += data[at + 16:at + 16 + length].rstrip(b"\0") == name
        at += 16 + length
print(count)
PY
}
records() { grep -c '"event":"command","name":"write"' "$RIG_DIR/vfd-com1.log" || true; }

state_dir="$WINEPREFIX/drive_c/ProgramData/vfdstartup"
wine sc stop vfdstartup >/dev/null 2>&1 || true
sleep 2
server="$(wineserver_pid)"
written="$(records)"
server_before="$(cpu_ticks "$server")"
count_replacements "$state_dir" vfd-COM1.last "$seconds" >"$RIG_DIR/replacements" &
counter=$!
sleep 0.5  # the watch is set
wine sc start vfdstartup >/dev/null 2>&1
pid=""
for _ in $(seq 1 40); do pid="$(service_pid)"; [ -n "$pid" ] && break; sleep 0.25; done
[ -n "$pid" ] || { echo "bench-service: the restarted service's process was not found" >&2; exit 1; }
before="$(cpu_ticks "$pid")"
wait "$counter"
runs="$(cat "$RIG_DIR/replacements")"
after="$(cpu_ticks "$pid")"
server_after="$(cpu_ticks "$server")"
wine sc stop vfdstartup >/dev/null 2>&1 || true
[ -f "$state_dir/vfd-COM1.state" ] || echo "bench-service: no state was kept on COM1: the figures are not of a restart with a kept state" >&2
awk -v t=$((after - before)) -v w=$((server_after - server_before)) -v hz="$hz" -v s="$seconds" \
    -v r=$(($(records) - written)) -v e="$runs" 'BEGIN {
  printf "service for %d s after a restart (state kept): %d records (floor 0), %d events (floor 1 at most), " \
    "%.2f s of CPU (floor under 0.1 s), the Wine server %.2f s\n", s, r, e, t / hz, w / hz }'

#!/usr/bin/env bash
# Self-check of the Wine rig: brings up a rig with two emulated displays,
# runs a small Windows program (rig_selftest.exe) that opens COM1, sends the
# enter command, reads the reply, and checks the emulator's log, modem lines
# and control file; then checks the registry and the wine-run fallback.
#
#   tools/wine-rig/selftest.sh            the check (exit status 0 when it passes)
#   tools/wine-rig/selftest.sh --faults   also print what each fault mode
#                                         looks like from the Windows side
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
OUT="$ROOT/build/wine-rig-tools"
EXE="$OUT/rig_selftest.exe"

step() { echo "== $*"; }
fail() { echo "SELFTEST FAILED: $*" >&2; exit 1; }

inside() {
  local faults="$1" dir="$VFD_RIG_DIR"
  step "prefix init took $(cat "$dir/prefix-init.seconds") s"

  step "rig_selftest check (with the modem-lines fixture)"
  "$HERE/wine-run" "$EXE" check || fail "rig_selftest check"

  step "serial calls with the fixture"
  "$HERE/wine-run" "$EXE" observe
  step "serial calls without the fixture"
  wine "$EXE" observe >"$dir/observe-plain.txt" 2>&1 </dev/null || true
  cat "$dir/observe-plain.txt"

  step "emulator log, seen from Linux"
  grep -q '"event":"close"' "$dir/vfd-com1.log" || fail "no close event in vfd-com1.log"
  grep -m1 '"name":"enter"' "$dir/vfd-com1.log" | sed 's/^/  /'
  grep -m1 '"event":"close"' "$dir/vfd-com1.log" | sed 's/^/  /'

  step "stored message (vfd-emulator --print-message)"
  "$VFD_RIG_TOOLS/vfd-emulator" --print-message --store "$dir/vfd-com1.rec"

  step "registry as the rig wrote it"
  wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$dir/serialcomm.txt" 2>&1 </dev/null
  grep -q 'Serial0.*REG_SZ.*COM1' "$dir/serialcomm.txt" || fail "SERIALCOMM: $(cat "$dir/serialcomm.txt")"
  grep -q 'Serial1.*REG_SZ.*COM2' "$dir/serialcomm.txt" || fail "SERIALCOMM: $(cat "$dir/serialcomm.txt")"
  [ "$(grep -c REG_ "$dir/serialcomm.txt")" = 2 ] || fail "SERIALCOMM has extra values"
  sed 's/^/  /' "$dir/serialcomm.txt"
  "$HERE/rig.sh" serialcomm 'A=COM9,B=dword:5'
  wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$dir/serialcomm.txt" 2>&1 </dev/null
  grep -q 'A.*REG_SZ.*COM9' "$dir/serialcomm.txt" && grep -q 'B.*REG_DWORD.*0x5' "$dir/serialcomm.txt" ||
    fail "SERIALCOMM rewrite: $(cat "$dir/serialcomm.txt")"
  "$HERE/rig.sh" opos-port COM2
  local key='HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\LineDisplay\QVrm7700LineDisplay'
  wine reg query "$key" /v Port /reg:32 >"$dir/opos.txt" 2>&1 </dev/null
  grep -q 'Port.*REG_SZ.*COM2' "$dir/opos.txt" || fail "OPOS port: $(cat "$dir/opos.txt")"
  echo "  OPOS Port (32-bit view): COM2"

  if [ "$faults" = 1 ]; then
    step "fault modes from the Windows side (COM1)"
    "$HERE/wine-run" "$EXE" faults
  fi

  # An emulator built with sanitizers (VFD_RIG_TOOLS from the native build)
  # reports its findings in its output file.
  step "emulators still running, and clean"
  local port
  for port in com1 com2; do
    kill -0 "$(cat "$dir/vfd-$port.pid")" || fail "the $port emulator has ended: $(cat "$dir/vfd-$port.out")"
    ! grep -q 'Sanitizer' "$dir/vfd-$port.out" || fail "$(cat "$dir/vfd-$port.out")"
  done
  echo "  ok"
}

if [ "${1:-}" = --inside ]; then
  inside "${2:-0}"
  exit 0
fi

faults=0
[ "${1:-}" = --faults ] && faults=1

step "building rig_selftest.exe"
mkdir -p "$OUT"
i686-w64-mingw32-g++-posix -std=c++17 -O1 -Wall -Wextra -Werror -static -I"$HERE/../../tests/common" \
  -o "$EXE" "$HERE/rig_selftest.cpp" "$HERE/rig_client.cpp"

step "rig with two emulators (fresh prefix: wineboot --init)"
start=$(date +%s.%N)
"$HERE/rig.sh" run --ports 2 -- "$HERE/selftest.sh" --inside "$faults"
echo "== rig up, checks and down: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

step "wine-run outside a rig (one-shot rig from the template prefix)"
start=$(date +%s.%N)
env -u VFD_RIG_DIR "$HERE/wine-run" "$EXE" check >"$OUT/selftest-oneshot.txt" 2>&1 ||
  { cat "$OUT/selftest-oneshot.txt"; fail "wine-run outside a rig"; }
tail -1 "$OUT/selftest-oneshot.txt"
echo "== one-shot: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
echo "SELFTEST PASSED"

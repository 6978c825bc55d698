#!/usr/bin/env bash
# Runs vfdstartup.exe under Wine against an emulated display:
#   1. installs the Debian packages it needs (as root; any user when they are
#      all there; see install-deps.sh),
#   2. builds vfdstartup.exe (MinGW-w64 cross build, build/windows) and the
#      display emulator (native, built by the Wine rig),
#   3. starts the emulated display on COM3, which is also the terminal's OPOS
#      line display port, in a throwaway Wine prefix,
#   4. starts vfdstartup.exe: on your X display when $DISPLAY works, otherwise
#      on a private Xvfb; a screenshot of the dialog is saved once it is up,
#   5. after the program ends, prints what the display now holds, so that the
#      effect of a write shows.
# With CI=true or without a usable X display nobody can use the dialog: the
# run then writes a short demonstration message itself, presses "Exit" and
# ends by itself. Every process started here is ended again, also on Ctrl-C.
# A second run reuses the builds and Wine's template prefix: a few seconds.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

RIG="$ROOT/tools/wine-rig/rig.sh"
WINE_RUN="$ROOT/tools/wine-rig/wine-run"
WIN_BUILD="${VFD_WIN_BUILD:-$ROOT/build/windows}"
OUT="$ROOT/build/run"
PORT=COM3

say() { echo "run: $*"; }

# Any user when nothing is missing; installing needs root.
install_packages() {
  bash scripts/install-deps.sh
}

# The same configuration as the "windows" preset; configured once.
build_program() {
  if [ ! -f "$WIN_BUILD/build.ninja" ]; then
    say "configuring the Windows build in $WIN_BUILD"
    cmake -S "$ROOT" -B "$WIN_BUILD" -G Ninja --toolchain "$ROOT/cmake/toolchain-mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >"$OUT/configure.log" 2>&1 || { cat "$OUT/configure.log"; exit 1; }
  fi
  say "building vfdstartup.exe"
  cmake --build "$WIN_BUILD" -j2 --target vfdstartup vfd_e2e_driver >"$OUT/build.log" 2>&1 ||
    { tail -40 "$OUT/build.log"; exit 1; }
}

display_works() {
  [ -n "${DISPLAY:-}" ] && timeout 5 xdotool getdisplaygeometry >/dev/null 2>&1
}

clean_up() {
  if [ -n "${RIG_DIR:-}" ]; then
    "$RIG" down "$RIG_DIR" >/dev/null 2>&1 || true
  fi
  return 0
}

# Without a usable X display the rig brings its own Xvfb (ended with the rig).
start_rig() {
  local x=()
  [ "$MODE" = auto ] && x=(--x)
  say "starting the emulated display on $PORT and a Wine prefix (the first run makes Wine's template, about 15 s)"
  RIG_DIR="$("$RIG" up --template --quiet "${x[@]}" --port "$PORT" --opos-port "$PORT")"
  # shellcheck disable=SC1091
  source "$RIG_DIR/env.sh"
  [ "$MODE" = auto ] && say "no X display to use: the dialog runs on Xvfb $DISPLAY"
  if [ "$MODE" = interactive ]; then
    # On a real desktop the window manager frames, moves and focuses the dialog.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d Y /f \
      >>"$RIG_DIR/wine-commands.log" 2>&1 </dev/null
  fi
}

run_program() {
  local program="$WIN_BUILD/src/app/vfdstartup.exe" driver="$WIN_BUILD/tests/e2e/vfd_e2e_driver.exe"
  rm -f "$OUT/startup.bmp" "$OUT/startup.png"
  say "starting vfdstartup.exe"
  local status=0
  # The log is there (and empty) before the relay below looks for it: on a
  # first run it would otherwise not exist yet, and on a later one the relay
  # could show the last run's report.
  : >"$OUT/driver.log"
  "$WINE_RUN" "$driver" show --program "$program" --mode "$MODE" --artifacts "$OUT" >"$OUT/driver.log" 2>&1 &
  local driver_pid=$!
  # Relay the driver's report as it comes (never a pipe from Wine itself).
  tail ---disable-inotify -s 0.2 --pid="$driver_pid" -n +1 -f "$OUT/driver.log" &
  local tail_pid=$!
  wait "$driver_pid" || status=$?
  wait "$tail_pid" || true
  if [ -f "$OUT/startup.bmp" ]; then
    convert "$OUT/startup.bmp" "$OUT/startup.png" 2>/dev/null && rm -f "$OUT/startup.bmp"
    say "screenshot of the dialog: $(ls "$OUT"/startup.png "$OUT"/startup.bmp 2>/dev/null | head -1)"
  fi
  return "$status"
}

show_display() {
  say "the display on $PORT now holds:"
  "$VFD_RIG_TOOLS/vfd-emulator" --print-message --store "$RIG_DIR/vfd-$(echo "$PORT" | tr 'A-Z' 'a-z').rec" |
    sed 's/^/    /'
}

main() {
  mkdir -p "$OUT"
  install_packages
  build_program
  trap clean_up EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  MODE=interactive
  if [ "${CI:-}" = true ] || ! display_works; then
    MODE=auto
  else
    say "using your X display $DISPLAY"
  fi
  start_rig
  local status=0
  run_program || status=$?
  show_display
  [ "$status" -eq 0 ] || say "the run reported a problem (exit status $status); see $OUT/driver.log"
  return "$status"
}

main "$@"

# Shared by scripts/soak.sh and scripts/bench-write.sh: the cross build, a
# Wine rig with Xvfb that is taken down on exit, and the line baseline.
# Sourced, not run.

BASELINE_STTY="9600 cstopb"
BASELINE_LINE="baud=9600 stop_bits=2 crtscts=false"

build_windows() {
  local build="$1"
  [ -f "$build/build.ninja" ] ||
    cmake -S "$ROOT" -B "$build" -G Ninja --toolchain "$ROOT/cmake/toolchain-mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target vfdstartup vfd_e2e_driver -j2 >/dev/null
  PROGRAM="$build/src/app/vfdstartup.exe"
  DRIVER="$build/tests/e2e/vfd_e2e_driver.exe"
}

stop_rig() {
  [ -n "${RIG_DIR:-}" ] && tools/wine-rig/rig.sh down "$RIG_DIR" >/dev/null 2>&1
  RIG_DIR=""
}

start_rig() {
  trap stop_rig EXIT
  # Stopped by a signal, the EXIT trap still ends what was started.
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  RIG_DIR="$(tools/wine-rig/rig.sh up --template --quiet --x "$@")"
  # shellcheck disable=SC1091
  source "$RIG_DIR/env.sh"
}

# A port left at 9600 baud and two stop bits before the program starts, so
# that a close that does not put the settings back shows in the log; the
# log is emptied afterwards so that stty's own open is not counted.
set_line_baseline() {
  stty -F "$RIG_DIR/${1,,}" $BASELINE_STTY
  tools/wine-rig/rig.sh control "$1" reset-log
}

# shellcheck shell=bash
# The test stages' commands, shared by scripts/test.sh (every stage once)
# and scripts/soak.sh --suites (the native tests and the Wine stage again and
# again). Sourced from the top of the checkout, not run.

# COMMAND... with a fixture directory of the run's own (VFD_MODEM_LINES_DIR,
# where the emulators and the LD_PRELOAD fixture meet) that does not exist
# yet when the first emulator starts, as on a machine where the suite never
# ran; two runs at once never meet in it. Under TMPDIR, reachable by every
# account (some tests run the program as another), removed afterwards.
with_fresh_fixture_dir() {
  local parent status=0
  parent="$(mktemp -d "${TMPDIR:-/tmp}/vfd-run.XXXXXX")" || return 1
  chmod 755 "$parent"
  VFD_MODEM_LINES_DIR="$parent/modem-lines" "$@" || status=$?
  rm -rf "$parent"
  return "$status"
}

native_build() {
  cmake --preset native >/dev/null && cmake --build --preset native -j2
}
native_tests() {
  with_fresh_fixture_dir ctest --preset native -j2
}
windows_build() {
  cmake --preset windows >/dev/null && cmake --build --preset windows -j2
}
windows_tests() {
  # One Wine rig (throwaway prefix, emulated displays, Xvfb) for the whole
  # stage; the tests rewrite its registry and emulator modes case by case.
  with_fresh_fixture_dir tools/wine-rig/rig.sh run --x -- ctest --preset windows
}

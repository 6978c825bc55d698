# shellcheck shell=bash
# The test stages' commands, shared by scripts/test.sh (every stage once)
# and scripts/soak.sh --suites (the native tests and the Wine stage again and
# again). Sourced from the top of the checkout, not run.

native_build() {
  cmake --preset native >/dev/null && cmake --build --preset native -j2
}
native_tests() {
  ctest --preset native -j2
}
windows_build() {
  cmake --preset windows >/dev/null && cmake --build --preset windows -j2
}
windows_tests() {
  # One Wine rig (throwaway prefix, emulated displays, Xvfb) for the whole
  # stage; the tests rewrite its registry and emulator modes case by case.
  tools/wine-rig/rig.sh run --x -- ctest --preset windows
}

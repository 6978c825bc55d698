#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native and the
# Windows build, runs the native unit tests (ASan/UBSan), the Windows-side
# tests and the end-to-end tests under Wine, the Windows Installer package
# (tables, signatures, install cycle under Wine), the bounded fuzz runs, the
# Ansible rollout against emulated terminals, the Debian package (lintian,
# install, remove, purge), the Linux program in QEMU guests through real
# kernel serial drivers and over SSH, and the package's units in a guest
# that boots systemd.
# Exit status is non-zero when anything fails.
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

bash scripts/install-deps.sh || exit 1

failed=()
stage() {
  local name="$1"; shift
  local start=$SECONDS
  echo "=== $name"
  if "$@"; then
    echo "=== $name: ok ($((SECONDS - start)) s)"
  else
    echo "=== $name: FAILED ($((SECONDS - start)) s)"
    failed+=("$name")
  fi
}

# shellcheck source=scripts/stages.sh
source scripts/stages.sh

msi_tests() {
  # The Windows Installer package: its tables, its signatures, and install,
  # upgrade, downgrade and uninstall in a throwaway Wine prefix; needs the
  # windows build (both programs and the end-to-end driver).
  /usr/bin/python3 tests/msi/msi_test.py build/windows
}

fuzz_bounded() {
  # Each libFuzzer target for a few seconds from its committed seeds.
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 && ctest --preset fuzz
}

fleet_tests() {
  # The Ansible role against emulated terminals; needs the linux build's
  # console program, emulator and modem-lines fixture. First the role's own
  # checks against the real ansible.windows collection: ansible-doc of its
  # modules, syntax, every task's options, ansible-lint.
  bash tests/fleet/check_windows_tasks.sh &&
    cmake --preset linux >/dev/null &&
    cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload &&
    /usr/bin/python3 tests/fleet/fleet_test.py build/linux
}

qemu_tests() {
  # The Linux program in QEMU guests: through the kernel's 8250 and ftdi_sio
  # drivers to emulated displays on this machine, and the Ansible role over
  # SSH to a fleet of guests. Needs the linux build, like the fleet stage.
  cmake --preset linux >/dev/null &&
    cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload &&
    tools/qemu-guest/guest.sh image || return 1
  local failed=0
  /usr/bin/python3 tests/qemu/drivers_test.py build/linux || failed=1
  /usr/bin/python3 tests/qemu/fleet_ssh_test.py build/linux || failed=1
  return "$failed"
}

apply_tests() {
  # Terminals that keep their own message: the Debian package in a QEMU guest
  # that boots systemd, its units and udev rule against emulated displays on
  # ttyS1 and on USB adapters plugged in through QEMU's monitor.
  cmake --preset linux >/dev/null &&
    cmake --build --preset linux -j2 --target vfd-emulator vfd_modem_lines_preload &&
    bash scripts/package.sh --deb && tools/qemu-guest/guest.sh image || return 1
  /usr/bin/python3 tests/qemu/apply_test.py build/linux build/packages/vfdstartup-cli_*.deb
}

stage "native build" native_build
stage "native tests" native_tests
stage "fuzzing (bounded)" fuzz_bounded
stage "windows build" windows_build
stage "windows tests (Wine)" windows_tests
stage "windows package (MSI)" msi_tests
stage "fleet (Ansible)" fleet_tests
stage "packages (lintian, install, purge)" bash scripts/test-packages.sh
stage "real drivers (QEMU)" qemu_tests
stage "terminals that keep their message (QEMU, systemd)" apply_tests

if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "all stages passed"

#!/usr/bin/env bash
# Builds the packages: the Debian package of the Linux console program
# (vfdstartup-cli_<version>_amd64.deb) and the zip of the two Windows
# programs (vfdstartup-<version>-win32.zip), into build/packages.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/install-deps.sh

OUT="$ROOT/build/packages"
mkdir -p "$OUT"

cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vfdstartup-cli
(cd build/linux && cpack -B "$OUT" >/dev/null)

cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target vfdstartup vfdstartup-cli
(cd build/windows && cpack -B "$OUT" >/dev/null)

rm -rf "$OUT/_CPack_Packages"
for package in "$OUT"/*.deb "$OUT"/*.zip; do
  printf '%-48s %8d bytes\n' "$(basename "$package")" "$(stat -c %s "$package")"
done

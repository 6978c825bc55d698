#!/usr/bin/env bash
# Builds the packages into build/packages: the Debian package of the Linux
# console program (vfdstartup-cli_<version>_amd64.deb, checked with lintian:
# any error or warning stops it), the zip of the two Windows programs
# (vfdstartup-<version>-win32.zip) and their Windows Installer package
# (vfdstartup-<product version>.msi, signed when VFDSTARTUP_SIGN_PFX names a
# certificate; see cmake/msi/sign.sh), and prints their paths. Any user may
# run it once the Debian packages it needs are installed
# (scripts/install-deps.sh, as root).
#
#   scripts/package.sh [--deb]   (--deb: only the Debian package)
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

windows=true
case "${1:-}" in
  "") ;;
  --deb) windows=false ;;
  *) echo "usage: $0 [--deb]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh

OUT="$ROOT/build/packages"
mkdir -p "$OUT"

cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vfdstartup-cli vfd_package_files
rm -f "$OUT"/vfdstartup-cli_*.deb
(cd build/linux && cpack -B "$OUT" >/dev/null)
# lintian warns when it runs as root; its findings go to standard output.
lintian --fail-on error,warning "$OUT"/vfdstartup-cli_*.deb 2>/dev/null ||
  { echo "package: lintian finds fault with the Debian package (above)" >&2; exit 1; }

if [ "$windows" = true ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 --target vfdstartup vfdstartup-cli
  (cd build/windows && cpack -B "$OUT" >/dev/null)
  # Signed with the certificate VFDSTARTUP_SIGN_PFX names (cmake/msi/sign.sh).
  rm -f "$OUT"/vfdstartup-*.msi
  cmake --build --preset windows --target vfd_msi
  cp build/windows/msi/vfdstartup-*.msi "$OUT"/
fi

rm -rf "$OUT/_CPack_Packages"
shopt -s nullglob
for package in "$OUT"/*.deb "$OUT"/*.zip "$OUT"/*.msi; do
  printf '%s  %d bytes\n' "$package" "$(stat -c %s "$package")"
done

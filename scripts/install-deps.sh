#!/usr/bin/env bash
# Installs every Debian 12 package the builds, the tests, the packaging and
# the run command need. Safe to run again: it only calls apt when something
# is missing. Any user may run it when nothing is missing; installing needs
# root.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build git
  googletest libgtest-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-i686-posix
  wine wine32:i386 wine64 fonts-wine
  xvfb x11-apps xdotool imagemagick
  gcc-multilib
  python3 python3-pefile python3-icu icoutils
  ansible-core
  lintian man-db mandoc groff-base
  wixl msitools osslsigncode openssl ansible ansible-lint
  qemu-system-x86 busybox-static cpio kmod openssh-client xz-utils udev
  prometheus prometheus-node-exporter python3-prometheus-client python3-jsonschema
  systemd libseccomp-dev
  acl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing Debian packages: ${missing[*]}" >&2
  echo "install-deps: run this as root to install them: bash scripts/install-deps.sh" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

echo "install-deps: installing ${missing[*]}"
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"

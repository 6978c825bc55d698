#!/usr/bin/env bash
# QEMU guests with real kernel serial drivers, for the Linux console program:
# Debian's own kernel (the 8250 UART driver built in; ftdi_sio, usbserial,
# xhci_pci, 9p and virtio_net as modules) and a busybox initramfs that runs
# one script inside the host's root file system, mounted read-only over
# virtio-9p. The guest's serial ports lead to display emulators on the host.
#
#   guest.sh image [--refresh]  build (or reuse) the guest image in build/qemu-guest/
#                               (--refresh: with the kernel Debian has now)
#   guest.sh boot [options]     boot one guest; this process becomes QEMU
#
# Options of boot:
#   --serial PATH     the guest's next UART (ttyS1, then ttyS2, ttyS3) leads to
#                     this pty (an emulator's --link); repeatable
#   --usb PATH        the guest's next FTDI USB adapter (ttyUSB0, ttyUSB1, ...)
#                     leads to this pty; repeatable (QEMU's device and chardev
#                     ids: ftdi0, ftdi1, ...)
#   --ssh-port PORT   a user-mode network; 127.0.0.1:PORT on the host reaches
#                     the guest's port 22 (the guest reaches nothing outside)
#   --out DIR         a writable host directory, /run/vfd in the guest
#   --run SCRIPT      run `sh SCRIPT /run/vfd` in the guest (a path in the host's
#                     file system; the guest starts in the repository), then
#                     power off; without it: a shell on the console
#   --console FILE    the guest's console (ttyS0) into FILE instead of this
#                     terminal (the terminal: Ctrl-A X ends QEMU)
#   --tools DIR       a build's tools-bin with the modem-lines fixture
#                     (default: build/linux/tools-bin)
#   --memory MB       guest memory (default 128)
#   --jit-cache MB    QEMU's translated-code cache (default 64; 128 saves about
#                     a quarter of the processor time of Python-heavy work,
#                     such as Ansible's modules, for about 80 MB more)
#   --systemd UNIT    boot systemd as PID 1 into UNIT over a writable root (a
#                     tmpfs over the host's); --run is then not taken
#   --prepare SCRIPT  with --systemd: `sh SCRIPT /run/vfd` in that root before
#                     systemd starts (install a package, write its files)
#   --qmp SOCKET      QEMU's monitor (QMP) on this Unix socket, and an xHCI
#                     controller (xhci.0) to plug USB devices into through it
#
# QEMU runs with the modem-lines fixture (LD_PRELOAD): it reads the modem
# lines of each pty through TIOCMGET about every 10 ms, the fixture answers
# with the emulator's CTS, so the host controls the CTS the guest's UART sees.
#
# The image needs, from Debian: qemu-system-x86, busybox-static, cpio, kmod
# (depmod), openssh-client (ssh-keygen) and xz-utils, installed here when
# missing; the kernel, openssh-server, openssh-sftp-server and the libraries
# sshd needs that this machine lacks are fetched with `apt-get download` and
# unpacked with dpkg-deb -x (nothing is installed, no maintainer script
# runs). A second `image` with the same inputs reuses what the first built.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
IMAGE="$ROOT/build/qemu-guest"
HOST_PACKAGES=(qemu-system-x86 busybox-static cpio kmod openssh-client xz-utils)

say() { echo "qemu-guest: $*" >&2; }
die() { echo "qemu-guest: $*" >&2; exit 1; }

# ---- image ------------------------------------------------------------------

# Drivers the guests need beyond the built-in 8250 UART; their dependencies
# are found in the kernel's modules.dep.
MODULES=(xhci-pci ftdi_sio virtio_pci 9pnet_virtio 9p virtio_net overlay)

install_host_packages() {
  local missing=() p
  for p in "${HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || die "missing packages ${missing[*]}; run as root to install them"
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
}

# apt-get download into DIR, as root without apt's sandbox user (the
# build tree is not the _apt user's).
download() {
  local dir="$1"; shift
  (cd "$dir" && apt-get -q -o APT::Sandbox::User=root download "$@" >/dev/null)
}

# The Debian packages the guest is made of: the kernel the meta package
# points at, sshd and what it needs that this machine does not have.
guest_packages() {
  local kernel
  kernel="$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)"
  [ -n "$kernel" ] || die "apt knows no linux-image-amd64 (apt-get update first?)"
  echo "$kernel" openssh-server openssh-sftp-server
  apt-cache depends openssh-server | sed -n 's/^ *Depends: \(lib[^<>]*\)$/\1/p' | while read -r lib; do
    dpkg-query -W -f='${Status}' "$lib" 2>/dev/null | grep -q "install ok installed" || echo "$lib"
  done
}

# The kernel without its self-decompressing wrapper (an ELF that QEMU starts
# through its PVH entry): decompressing in the guest takes 5 s of TCG.
extract_vmlinux() {
  local bzimage="$1" out="$2" offset
  offset="$(LC_ALL=C grep -abo -m 1 $'\xfd7zXZ' "$bzimage")" || die "no XZ stream in $bzimage"
  offset="${offset%%$'\n'*}"
  xz -dc --single-stream < <(tail -c +"$((${offset%%:*} + 1))" "$bzimage") >"$out"
  [ "$(head -c 4 "$out" | od -An -tx1 | tr -d ' ')" = "7f454c46" ] || die "$bzimage holds no ELF kernel"
}

# The modules to load, dependencies first, as paths under lib/modules/VERSION.
module_order() {
  local dep_file="$1" name line dep
  local -A seen=()
  for name in "${MODULES[@]}"; do
    line="$(grep -E "/$name\.ko:" "$dep_file")" || die "no module $name in modules.dep"
    # modules.dep lists every dependency, the ones to load last first.
    for dep in $(echo "${line#*:}" | tr ' ' '\n' | tac) "${line%%:*}"; do
      [ -n "${seen[$dep]:-}" ] && continue
      seen[$dep]=1
      echo "$dep"
    done
  done
}

build_initramfs() {
  local kernel_root="$1" version="$2" stage="$3"
  mkdir -p "$stage/bin" "$stage/modules"
  cp /bin/busybox "$stage/bin/busybox"
  cp "$HERE/init" "$stage/init"
  chmod 0755 "$stage/init"
  local modules="$kernel_root/lib/modules/$version" path
  depmod -b "$kernel_root" "$version"
  module_order "$modules/modules.dep" | while read -r path; do
    cp "$modules/$path" "$stage/modules/"
    basename "$path" >>"$stage/modules/order"
  done
  (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$IMAGE/initrd.gz.new"
  mv "$IMAGE/initrd.gz.new" "$IMAGE/initrd.gz"
}

# sshd from the unpacked packages, a host key made here once, and a configuration
# that takes the keys in the guest's /run/vfd/authorized_keys.
build_sshd() {
  local debs="$1" deb
  rm -rf "$IMAGE/sshd/root"
  mkdir -p "$IMAGE/sshd/keys"
  for deb in "$debs"/openssh-server_*.deb "$debs"/openssh-sftp-server_*.deb "$debs"/lib*.deb; do
    [ -e "$deb" ] && dpkg-deb -x "$deb" "$IMAGE/sshd/root"
  done
  [ -f "$IMAGE/sshd/keys/ssh_host_ed25519_key" ] ||
    ssh-keygen -q -t ed25519 -N "" -C "vfdstartup qemu guest" -f "$IMAGE/sshd/keys/ssh_host_ed25519_key"
  local libs="$IMAGE/sshd/root/usr/lib/x86_64-linux-gnu:$IMAGE/sshd/root/lib/x86_64-linux-gnu"
  if LD_LIBRARY_PATH="$libs" ldd "$IMAGE/sshd/root/usr/sbin/sshd" | grep "not found"; then
    die "sshd lacks the libraries above"
  fi
  cat >"$IMAGE/sshd/sshd_config" <<EOF
# The guests' sshd (written by tools/qemu-guest/guest.sh image).
Port 22
HostKey $IMAGE/sshd/keys/ssh_host_ed25519_key
AuthorizedKeysFile /run/vfd/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
PidFile /run/sshd.pid
Subsystem sftp $IMAGE/sshd/root/usr/lib/openssh/sftp-server
EOF
  echo "LD_LIBRARY_PATH=$libs" >"$IMAGE/sshd/environment"
}

# What the image is made of: /init and this section of the script. A second
# run with the same key reuses it without asking apt (Debian's newer kernel
# comes with `image --refresh`).
image_key() {
  { cat "$HERE/init"; sed -n '/^# ---- image/,/^# ---- boot/p' "$HERE/guest.sh"; echo "$ROOT"; } |
    sha256sum | cut -d' ' -f1
}

cmd_image() {
  install_host_packages
  mkdir -p "$IMAGE/debs"
  local key
  key="$(image_key)"
  if [ "${1:-}" != "--refresh" ] && [ "$(cat "$IMAGE/image.key" 2>/dev/null)" = "$key" ] &&
    [ -f "$IMAGE/vmlinux" ] && [ -f "$IMAGE/initrd.gz" ] && [ -f "$IMAGE/sshd/sshd_config" ]; then
    say "image up to date in ${IMAGE#"$ROOT"/}"
    return
  fi
  local packages
  packages="$(guest_packages | tr '\n' ' ')"
  local start=$SECONDS
  rm -f "$IMAGE/image.key" "$IMAGE"/debs/*.deb
  # shellcheck disable=SC2086  # one package name per word
  download "$IMAGE/debs" $packages || die "apt-get download $packages failed"
  local version
  work="$(mktemp -d "$IMAGE/work.XXXXXX")"
  trap 'rm -rf "$work"' EXIT
  dpkg-deb -x "$(ls "$IMAGE"/debs/linux-image-*.deb | head -n 1)" "$work/kernel"
  version="$(ls "$work/kernel/lib/modules")"
  extract_vmlinux "$work/kernel/boot/vmlinuz-$version" "$IMAGE/vmlinux"
  build_initramfs "$work/kernel" "$version" "$work/initramfs"
  build_sshd "$IMAGE/debs"
  echo "$version" >"$IMAGE/kernel.version"
  echo "$key" >"$IMAGE/image.key"
  say "image built in ${IMAGE#"$ROOT"/} ($((SECONDS - start)) s): kernel $version, $(du -h "$IMAGE/initrd.gz" | cut -f1) initramfs"
}

# ---- boot -------------------------------------------------------------------

cmd_boot() {
  local serials=() usbs=() ssh_port="" out="" run="" console="" memory=128 jit_cache=64 systemd="" prepare="" qmp=""
  local tools="$ROOT/build/linux/tools-bin"
  while [ $# -gt 0 ]; do
    case "$1" in
      --serial) serials+=("$2"); shift 2 ;;
      --usb) usbs+=("$2"); shift 2 ;;
      --ssh-port) ssh_port="$2"; shift 2 ;;
      --out) out="$2"; shift 2 ;;
      --run) run="$2"; shift 2 ;;
      --console) console="$2"; shift 2 ;;
      --tools) tools="$2"; shift 2 ;;
      --memory) memory="$2"; shift 2 ;;
      --jit-cache) jit_cache="$2"; shift 2 ;;
      --systemd) systemd="$2"; shift 2 ;;
      --prepare) prepare="$2"; shift 2 ;;
      --qmp) qmp="$2"; shift 2 ;;
      *) die "unknown option $1 (see the top of $0)" ;;
    esac
  done
  if [ ! -f "$IMAGE/initrd.gz" ]; then
    cmd_image
  elif [ "$(cat "$IMAGE/image.key" 2>/dev/null)" != "$(image_key)" ]; then
    say "the image is older than tools/qemu-guest: run $0 image"
  fi
  [ "${#serials[@]}" -le 3 ] || die "at most 3 --serial (ttyS1..ttyS3)"
  local preload="$tools/lib/x86_64-linux-gnu/libvfd_modem_lines.so"
  [ -f "$preload" ] || die "no modem-lines fixture at $preload (build the linux preset's vfd_modem_lines_preload)"
  case "$run$prepare$systemd$ROOT" in *" "*) die "no blanks in paths, please: the kernel command line carries them" ;; esac

  local args=(-nodefaults -no-user-config -display none -no-reboot
    -accel "tcg,tb-size=$jit_cache" -m "$memory" -smp 1
    -kernel "$IMAGE/vmlinux" -initrd "$IMAGE/initrd.gz"
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$ROOT,mount_tag=repo,security_model=none,readonly=on,multidevs=remap")
  if [ -n "$console" ]; then
    args+=(-chardev "file,id=console,path=$console" -serial chardev:console)
  else
    args+=(-serial mon:stdio)
  fi
  local i
  for i in "${!serials[@]}"; do
    args+=(-chardev "serial,id=uart$((i + 1)),path=${serials[$i]}" -serial "chardev:uart$((i + 1))")
  done
  [ -n "$qmp" ] && args+=(-qmp "unix:$qmp,server=on,wait=off")
  if [ "${#usbs[@]}" -gt 0 ] || [ -n "$qmp" ]; then
    args+=(-device "qemu-xhci,id=xhci")
    for i in "${!usbs[@]}"; do
      args+=(-chardev "serial,id=ftdi$i,path=${usbs[$i]}" -device "usb-serial,bus=xhci.0,chardev=ftdi$i,id=ftdi$i")
    done
  fi
  if [ -n "$ssh_port" ]; then
    args+=(-netdev "user,id=net0,restrict=on,hostfwd=tcp:127.0.0.1:$ssh_port-:22"
      -device "virtio-net-pci,netdev=net0")
  fi
  [ -n "$out" ] && args+=(-virtfs "local,path=$out,mount_tag=out,security_model=none,multidevs=remap")
  local append="console=ttyS0 quiet panic=-1 8250.nr_uarts=4 vfd.cwd=$ROOT"
  if [ -n "$systemd" ]; then
    append+=" vfd.systemd=$systemd systemd.unit=$systemd fstab=no"
    [ -n "$prepare" ] && append+=" vfd.prepare=$prepare"
  elif [ -n "$run" ]; then
    append+=" vfd.run=$run"
  fi
  args+=(-append "$append")

  export LD_PRELOAD="$preload"
  exec qemu-system-x86_64 "${args[@]}"
}

case "${1:-}" in
  image) shift; cmd_image "$@" ;;
  boot) shift; cmd_boot "$@" ;;
  *) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

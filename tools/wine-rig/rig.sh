#!/usr/bin/env bash
# The Wine rig: a throwaway 64-bit Wine prefix with emulated display modules
# on COM ports, the registry set as a test asks, and Xvfb when a window is
# needed. Every process it starts is ended by its id (wineserver through
# `wineserver -k` on its own prefix).
#
#   rig.sh up [options]             bring a rig up; prints its directory
#   rig.sh down DIR [--keep]        end everything in it and remove it
#   rig.sh run [options] -- CMD...  up, run CMD inside (env.sh sourced), down;
#                                   exits with CMD's status
#   rig.sh serialcomm LIST          inside a rig: rewrite the port list key
#   rig.sh opos-port VALUE|--delete [--type REG_xx]
#                                   inside a rig: the OPOS "Port" value
#   rig.sh control PORT COMMAND     inside a rig: a control command for that
#                                   port's emulator; returns once it took effect
#   rig.sh template                 make the cached template prefix now
#
# Options of up/run:
#   --dir DIR          rig directory (default: a new /tmp/vfd-wine-rig.XXXXXX)
#   --ports N          emulators on COM1..COMN (default 2)
#   --port NAME        an emulator on this port instead (repeatable: COM3, COM12)
#   --exec NAME=CMD    control command for that port's emulator at its start
#                      (repeatable), e.g. --exec 'COM2=mode silent'
#   --serialcomm LIST  the HKLM\HARDWARE\DEVICEMAP\SERIALCOMM values:
#                        default   \Device\Serial<i> = <port> for each emulator
#                        none      the key with no values
#                        absent    no key at all
#                        NAME=DATA[,NAME=DATA...]  exactly these values; DATA is
#                                  REG_SZ, or TYPE:DATA with TYPE one of
#                                  sz, expand_sz, multi_sz, dword, binary
#   --opos-port VALUE  the OPOS "Port" value (REG_SZ; default: none)
#   --x                start Xvfb and export DISPLAY (for windows, message boxes)
#   --template         clone the cached template prefix (hard links, < 1 s)
#                      instead of running wineboot --init in the rig
#   --quiet            no progress messages on stderr
#
# Environment of a rig (DIR/env.sh): VFD_RIG_DIR, VFD_RIG_PORTS, VFD_RIG_TOOLS,
# VFD_RIG_PRELOAD, VFD_MODEM_LINES_DIR (the emulators' and the fixture's
# directory: as given, else DIR/modem-lines), WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES, DISPLAY.
# Inputs: VFD_RIG_TOOLS (a tools-bin directory with vfd-emulator; default: built
# on demand in build/wine-rig-tools), VFD_RIG_CACHE (template prefixes).
set -euo pipefail

RIG_HOME="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$RIG_HOME/../.." && pwd)"
QUIET=0

say() { [ "$QUIET" = 1 ] || echo "rig: $*" >&2; }
die() { echo "rig: $*" >&2; exit 1; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# ---- tools ------------------------------------------------------------------

ensure_tools() {
  if [ -n "${VFD_RIG_TOOLS:-}" ]; then
    [ -x "$VFD_RIG_TOOLS/vfd-emulator" ] || die "no vfd-emulator in VFD_RIG_TOOLS=$VFD_RIG_TOOLS"
    return
  fi
  local build="$ROOT/build/wine-rig-tools"
  mkdir -p "$build"
  (
    flock 9
    if [ ! -f "$build/build.ninja" ]; then
      cmake -S "$ROOT/tools" -B "$build" -G Ninja >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log" >&2; exit 1; }
    fi
    cmake --build "$build" >"$build/build.log" 2>&1 || { tail -40 "$build/build.log" >&2; exit 1; }
  ) 9>"$build/.lock" || die "building the rig tools failed"
  VFD_RIG_TOOLS="$build/tools-bin"
}

# ---- prefix -----------------------------------------------------------------

wine_env() {
  export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

template_dir() {
  local cache="${VFD_RIG_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vfd-wine-rig}"
  local version
  version="$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' '_')"
  echo "$cache/template-$version"
}

# The template is made once, under a lock, and only renamed into place when
# complete; its wineserver ends by itself (no -p) after saving the registry.
make_template() {
  local template
  template="$(template_dir)"
  [ -f "$template/system.reg" ] && return 0
  mkdir -p "$(dirname "$template")"
  (
    flock 9
    [ -f "$template/system.reg" ] && exit 0
    local work="$template.work.$$" start
    rm -rf "$work"; mkdir -p "$work"
    start="$(now)"
    say "making the template prefix $template (once)"
    WINEPREFIX="$work" wineboot --init >"$work.wineboot.log" 2>&1 </dev/null
    WINEPREFIX="$work" wineserver -w
    mv "$work" "$template"
    say "template made in $(elapsed "$start") s"
  ) 9>"$template.lock"
}

# Hard links: the files are Wine's own and never written in place (the
# registry files are replaced by rename); the registry files are copied anyway.
clone_template() {
  local template prefix="$1"
  template="$(template_dir)"
  make_template
  cp -al "$template" "$prefix" 2>/dev/null || cp -a "$template" "$prefix"
  for f in "$template"/*.reg; do cp --remove-destination "$f" "$prefix/"; done
}

create_prefix() {
  local prefix="$1" how="$2" start
  start="$(now)"
  # The server's own output goes to a file too: it is a session leader, so the
  # first COM port it opens becomes its controlling terminal, and when that
  # pty hangs up (mode hangup, or an emulator ending) it gets SIGHUP and dumps
  # its object table to stderr.
  # It runs with the modem-lines fixture: Wine's server is the process that
  # opens a COM port's device, and the fixture tells the emulator of it.
  local preload="$VFD_RIG_TOOLS/\$LIB/libvfd_modem_lines.so"
  if [ "$how" = template ]; then
    clone_template "$prefix"
    WINEPREFIX="$prefix" LD_PRELOAD="$preload" wineserver -p >"$DIR/wineserver.log" 2>&1 </dev/null
  else
    mkdir -p "$prefix"
    WINEPREFIX="$prefix" LD_PRELOAD="$preload" wineserver -p >"$DIR/wineserver.log" 2>&1 </dev/null
    # The first Wine command: its output goes to a file, never to a pipe, as
    # Wine's background services keep whatever they inherit open.
    WINEPREFIX="$prefix" wineboot --init >"$DIR/wineboot.log" 2>&1 </dev/null
  fi
  wait_for_port_driver "$prefix"
  echo "$(elapsed "$start")" >"$DIR/prefix-init.seconds"
  say "prefix ready ($how) in $(cat "$DIR/prefix-init.seconds") s: $prefix"
}

# Wine's serial driver creates the port list key (and dosdevices links for
# /dev/ttyS*) when it starts; our links and values must come after it.
# A cloned prefix's first command does not always bring Wine's services up
# (seen once in three runs of the Wine stage): halfway through the wait,
# wineboot starts them.
wait_for_port_driver() {
  local prefix="$1" i
  for i in $(seq 1 200); do
    if WINEPREFIX="$prefix" wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' \
        >>"$DIR/wine-commands.log" 2>&1 </dev/null; then
      return 0
    fi
    if [ "$i" -eq 50 ]; then
      echo "rig: no port list after 50 looks: wineboot" >>"$DIR/wine-commands.log"
      WINEPREFIX="$prefix" timeout 60 wineboot >>"$DIR/wine-commands.log" 2>&1 </dev/null || true
    fi
    sleep 0.1
  done
  die "Wine's serial port driver did not start"
}

# ---- registry ---------------------------------------------------------------

wine_reg() {
  echo "+ reg $*" >>"$DIR/wine-commands.log"
  wine reg "$@" >>"$DIR/wine-commands.log" 2>&1 </dev/null
}

reg_type() {
  case "$1" in
    sz) echo REG_SZ ;; expand_sz) echo REG_EXPAND_SZ ;; multi_sz) echo REG_MULTI_SZ ;;
    dword) echo REG_DWORD ;; binary) echo REG_BINARY ;; *) die "unknown value type $1" ;;
  esac
}

default_serialcomm() {
  local i=0 list="" port
  for port in $PORTS; do
    list+="${list:+,}\\Device\\Serial$i=$port"
    i=$((i + 1))
  done
  echo "${list:-none}"
}

# The key lives under the volatile HKLM\HARDWARE, where reg.exe cannot create
# keys; rig-regkey.exe creates it volatile when a test had it deleted.
set_serialcomm() {
  local list="$1" key='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' item name data type
  if [ "$list" = absent ]; then
    wine_reg delete "$key" /f || true
    return 0
  fi
  if ! wine_reg query "$key"; then
    wine "$VFD_RIG_TOOLS/rig-regkey.exe" create-volatile 'HARDWARE\DEVICEMAP\SERIALCOMM' \
      >>"$DIR/wine-commands.log" 2>&1 </dev/null || die "cannot create $key"
  fi
  wine_reg delete "$key" /va /f || true
  [ "$list" = none ] && return 0
  IFS=',' read -r -a items <<<"$list"
  for item in "${items[@]}"; do
    name="${item%%=*}"
    data="${item#*=}"
    type=REG_SZ
    if [[ "$data" =~ ^(sz|expand_sz|multi_sz|dword|binary):(.*)$ ]]; then
      type="$(reg_type "${BASH_REMATCH[1]}")"
      data="${BASH_REMATCH[2]}"
    fi
    wine_reg add "$key" /v "$name" /t "$type" /d "$data" /f || die "cannot set $name in $key"
  done
}

set_opos_port() {
  local value="$1" type="${2:-REG_SZ}"
  local key='HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\LineDisplay\QVrm7700LineDisplay'
  if [ "$value" = --delete ]; then
    wine_reg delete "$key" /v Port /f /reg:32 || true
  else
    wine_reg add "$key" /v Port /t "$type" /d "$value" /f /reg:32 || die "cannot set the OPOS port"
  fi
}

# ---- emulators --------------------------------------------------------------

# Files of port COM1: DIR/com1 (the link to the pty), DIR/vfd-com1.{rec,log,
# ctl,ctl.ack,out,pid}. Windows reads and writes the vfd-* files through Z:,
# and a name like com1.log would be the device COM1 there, so they carry a
# prefix.
start_emulator() {
  local port="$1" link base
  link="$DIR/$(echo "$port" | tr 'A-Z' 'a-z')"
  base="$DIR/vfd-$(echo "$port" | tr 'A-Z' 'a-z')"
  local args=(--link "$link" --store "$base.rec" --log "$base.log" --control "$base.ctl"
              --name "$port" --no-display)
  local exec
  for exec in "${EXECS[@]}"; do
    [ "${exec%%=*}" = "$port" ] && args+=(--exec "${exec#*=}")
  done
  "$VFD_RIG_TOOLS/vfd-emulator" "${args[@]}" >"$base.out" 2>&1 </dev/null &
  echo $! >"$base.pid"
  # Older names, for readers on the Linux side only (from Windows, com1.log
  # is the port COM1).
  ln -sf "$(basename "$base").log" "$link.log"
  ln -sf "$(basename "$base").rec" "$link.rec"
  local i
  for i in $(seq 1 600); do  # up to 30 s on a busy machine
    [ -L "$link" ] && return 0
    kill -0 "$(cat "$base.pid")" 2>/dev/null || break
    sleep 0.05
  done
  cat "$base.out" >&2
  die "the emulator for $port did not start"
}

# dosdevices/comN -> DIR/comN -> /dev/pts/M. Wine's own links (com1 ->
# /dev/ttyS0 on a machine with a serial port) go, so that no test can reach
# real hardware.
map_ports() {
  local dosdevices="$WINEPREFIX/dosdevices" port
  rm -f "$dosdevices"/com[0-9]*
  for port in $PORTS; do
    ln -s "$DIR/$(echo "$port" | tr 'A-Z' 'a-z')" "$dosdevices/$(echo "$port" | tr 'A-Z' 'a-z')"
  done
}

# ---- X ----------------------------------------------------------------------

start_xvfb() {
  # -displayfd makes Xvfb pick a free display number and tell us which.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$DIR/xvfb.display" \
    >"$DIR/xvfb.log" 2>&1 </dev/null &
  echo $! >"$DIR/xvfb.pid"
  local i
  for i in $(seq 1 100); do
    if [ -s "$DIR/xvfb.display" ]; then
      DISPLAY=":$(head -1 "$DIR/xvfb.display")"
      export DISPLAY
      say "Xvfb on $DISPLAY"
      return 0
    fi
    sleep 0.05
  done
  die "Xvfb did not start: $(cat "$DIR/xvfb.log")"
}

# ---- up / down --------------------------------------------------------------

write_env() {
  {
    echo "# Source this file to work inside the rig."
    printf 'export VFD_RIG_DIR=%q\n' "$DIR"
    printf 'export VFD_RIG_PORTS=%q\n' "$PORTS"
    printf 'export VFD_RIG_TOOLS=%q\n' "$VFD_RIG_TOOLS"
    printf 'export VFD_RIG_PRELOAD=%q\n' "$VFD_RIG_TOOLS/\$LIB/libvfd_modem_lines.so"
    printf 'export VFD_MODEM_LINES_DIR=%q\n' "$VFD_MODEM_LINES_DIR"
    printf 'export WINEPREFIX=%q WINEARCH=win64 WINEDEBUG=%q WINEDLLOVERRIDES=%q\n' \
      "$WINEPREFIX" "${WINEDEBUG}" "$WINEDLLOVERRIDES"
    if [ -n "${DISPLAY:-}" ]; then printf 'export DISPLAY=%q\n' "$DISPLAY"; fi
  } >"$DIR/env.sh"
}

parse_up_options() {
  DIR="" PORTS="" NPORTS=2 SERIALCOMM=default OPOS="" WANT_X=0 HOW=fresh EXECS=()
  while [ $# -gt 0 ]; do
    case "$1" in
      --dir) DIR="$2"; shift 2 ;;
      --ports) NPORTS="$2"; shift 2 ;;
      --port) PORTS+="${PORTS:+ }$(echo "$2" | tr 'a-z' 'A-Z')"; shift 2 ;;
      --exec) EXECS+=("$(echo "${2%%=*}" | tr 'a-z' 'A-Z')=${2#*=}"); shift 2 ;;
      --serialcomm) SERIALCOMM="$2"; shift 2 ;;
      --opos-port) OPOS="$2"; shift 2 ;;
      --x) WANT_X=1; shift ;;
      --template) HOW=template; shift ;;
      --quiet) QUIET=1; shift ;;
      --) shift; break ;;
      *) die "unknown option $1" ;;
    esac
  done
  REST=("$@")
  if [ -z "$PORTS" ]; then
    local i
    for i in $(seq 1 "$NPORTS"); do PORTS+="${PORTS:+ }COM$i"; done
  fi
}

rig_up() {
  ensure_tools
  wine_env
  if [ -z "$DIR" ]; then DIR="$(mktemp -d /tmp/vfd-wine-rig.XXXXXX)"; else mkdir -p "$DIR"; fi
  DIR="$(cd "$DIR" && pwd)"
  # The rig's emulators and the fixture in its Wine processes meet in a
  # directory of the rig's own (made by the first emulator), unless whoever
  # started the rig chose one: never in one machine-wide directory.
  VFD_MODEM_LINES_DIR="${VFD_MODEM_LINES_DIR:-$DIR/modem-lines}"
  export VFD_MODEM_LINES_DIR
  WINEPREFIX="$DIR/prefix"
  export WINEPREFIX
  : >"$DIR/wine-commands.log"
  # From here on a failure takes down what was started.
  trap 'failed_up' EXIT
  local port
  for port in $PORTS; do start_emulator "$port"; done
  # Wine's desktop process starts with the first Wine command and keeps the
  # display it found then: without one, no window of the prefix is ever seen.
  [ "$WANT_X" = 1 ] && start_xvfb
  create_prefix "$WINEPREFIX" "$HOW"
  map_ports
  [ "$SERIALCOMM" = default ] && SERIALCOMM="$(default_serialcomm)"
  set_serialcomm "$SERIALCOMM"
  wine_reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
  [ -n "$OPOS" ] && set_opos_port "$OPOS"
  write_env
  trap - EXIT
  say "up: $DIR (ports: $PORTS)"
}

failed_up() {
  echo "rig: bringing the rig up failed; last Wine commands:" >&2
  tail -15 "$DIR/wine-commands.log" >&2 || true
  rig_down "$DIR" >/dev/null 2>&1 || true
}

kill_pid_file() {
  local file="$1" pid i
  [ -f "$file" ] || return 0
  pid="$(cat "$file")"
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 1 40); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -9 "$pid" 2>/dev/null || true
}

rig_down() {
  local dir="$1" keep="${2:-}"
  [ -d "$dir" ] || die "no rig at $dir"
  if [ -d "$dir/prefix" ]; then
    WINEPREFIX="$dir/prefix" wineserver -k >/dev/null 2>&1 </dev/null || true
  fi
  local f
  for f in "$dir"/*.pid; do
    [ -e "$f" ] && kill_pid_file "$f"
  done
  if [ "$keep" = --keep ]; then
    say "down, kept $dir"
  else
    rm -rf "$dir"
    say "down: $dir"
  fi
}

# Appends COMMAND to the emulator's control file and waits until its
# acknowledgement counts that line.
control_emulator() {
  local control="$DIR/vfd-$(echo "$1" | tr 'A-Z' 'a-z').ctl" lines i
  echo "$2" >>"$control"
  lines=$(wc -l <"$control")
  for i in $(seq 1 600); do  # up to 30 s on a busy machine
    [ "$(cut -d' ' -f1 "$control.ack" 2>/dev/null)" = "$lines" ] && return 0
    sleep 0.05
  done
  die "the emulator on $1 did not take \"$2\""
}

in_rig() {
  [ -n "${VFD_RIG_DIR:-}" ] && [ -f "$VFD_RIG_DIR/env.sh" ] || die "not inside a rig (VFD_RIG_DIR)"
  # shellcheck disable=SC1091
  source "$VFD_RIG_DIR/env.sh"
  DIR="$VFD_RIG_DIR"
}

main() {
  local command="${1:-}"
  shift || true
  case "$command" in
    up)
      parse_up_options "$@"
      rig_up
      echo "$DIR"
      ;;
    down)
      [ $# -ge 1 ] || die "down DIR"
      rig_down "$@"
      ;;
    run)
      parse_up_options "$@"
      [ ${#REST[@]} -gt 0 ] || die "run [options] -- COMMAND..."
      rig_up
      trap 'rig_down "$DIR"' EXIT
      trap 'exit 130' INT
      trap 'exit 143' TERM
      local status=0
      # shellcheck disable=SC1091
      (source "$DIR/env.sh" && "${REST[@]}") || status=$?
      return "$status"
      ;;
    serialcomm)
      in_rig
      PORTS="$VFD_RIG_PORTS"
      local list="${1:-default}"
      [ "$list" = default ] && list="$(default_serialcomm)"
      set_serialcomm "$list"
      ;;
    opos-port)
      in_rig
      [ $# -ge 1 ] || die "opos-port VALUE|--delete [--type REG_xx]"
      local type=REG_SZ
      [ "${2:-}" = --type ] && type="$3"
      set_opos_port "$1" "$type"
      ;;
    control)
      in_rig
      [ $# -eq 2 ] || die "control PORT COMMAND"
      control_emulator "$1" "$2"
      ;;
    template)
      wine_env
      make_template
      template_dir
      ;;
    -h | --help | help | "")
      sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '$d' -e 's/^# \{0,1\}//'
      ;;
    *) die "unknown command $command (try --help)" ;;
  esac
}

main "$@"

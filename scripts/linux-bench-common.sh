# shellcheck shell=bash
# Shared by scripts/bench-apply.sh, scripts/bench-cli.sh, scripts/bench-status.sh and
# scripts/bench-threads.sh: --runs, the linux
# build's console program, emulator and modem-lines fixture, a scratch
# directory whose emulators end with the script, and a run's wall-clock time.
# Sourced, not run.

# Sets runs from `--runs N` (default DEFAULT); --help prints the calling
# script's header. parse_runs_option NAME DEFAULT "$@"
# shellcheck disable=SC2034  # the scripts that source this use it
parse_runs_option() {
  local name="$1"
  runs="$2"
  shift 2
  while [ $# -gt 0 ]; do
    case "$1" in
      --runs) runs="$2"; shift 2 ;;
      -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
      *) echo "$name: unknown option $1 (try --help)" >&2; exit 2 ;;
    esac
  done
}

# Builds what is missing and sets CLI, EMULATOR and PRELOAD.
# shellcheck disable=SC2034  # the scripts that source this use them
build_linux_tools() {
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j2 --target vfdstartup-cli vfd-emulator vfd_modem_lines_preload >/dev/null
  CLI="$ROOT/build/linux/src/cli/vfdstartup-cli"
  EMULATOR="$ROOT/build/linux/tools-bin/vfd-emulator"
  PRELOAD="$ROOT/build/linux/tools-bin/lib/x86_64-linux-gnu/libvfd_modem_lines.so"
}

# DIR, a fresh directory under /tmp named after the benchmark; it and the
# processes in PIDS go at exit, also when a signal stops the script.
PIDS=()
clean_up() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$DIR"
}
make_scratch_dir() {
  DIR="$(mktemp -d "/tmp/vfd-$1.XXXXXX")"
  # The emulators' and the fixture's directory, the run's own unless chosen.
  VFD_MODEM_LINES_DIR="${VFD_MODEM_LINES_DIR:-$DIR/modem-lines}"
  export VFD_MODEM_LINES_DIR
  trap clean_up EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}

# Microseconds one run of the command takes, wall clock.
time_us() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

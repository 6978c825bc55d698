#!/usr/bin/env bash
# Soak (not part of the test stage), in two forms.
#
# Presses: PRESSES consecutive "Write to VFD" presses (default 300) through
# the real vfdstartup.exe under Wine against an emulated display on COM3,
# alternating texts (0 to 63 characters, every printable character in turn)
# and all six speeds. After every press the driver checks the box, waits for
# the port's close and compares the stored record byte for byte; every 1/12
# of the run it samples the program's handle count and memory
# (GetProcessHandleCount, GetProcessMemoryInfo) and prints the first, last
# and largest figures. Afterwards the display's log must show exactly the
# commands of PRESSES writes, each at 38400 8N1, and the port's settings put
# back after every close. About 0.6 s a press: 300 take three to four minutes.
#
#   scripts/soak.sh [PRESSES] [--build-dir DIR]
#
#   --build-dir DIR  the cross build to use (default build/windows); built
#                    as needed
#
# Suites: the check for flaky tests before a release. The native tests and
# the Wine stage, as scripts/test.sh runs them (each run with a fixture
# directory of its own that does not exist yet), RUNS times (default 5) in
# each of four passes: with two CPU-bound processes running beside them;
# with /tmp as a fresh machine has it (each run with a TMPDIR of its own,
# empty, mode 1777); with a second run of the native tests started beside
# each run (its failures count too); and without any of these for
# comparison. Prints each run's failed tests and times, and for each pass
# the runs, the runs that failed, the time per run and the load average seen.
# Fails when any run failed. Each run's output is kept in build/soak/.
# About 4 min a run on a 2-core machine: 80 min for the default.
#
#   scripts/soak.sh --suites [RUNS] [--loaded-only]
#
#   --loaded-only    the loaded pass only
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

usage() { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; }

# ---- presses -----------------------------------------------------------------

soak_presses() {
  local presses="$1" build="$2"
  # shellcheck source=scripts/wine-bench-common.sh
  source "$ROOT/scripts/wine-bench-common.sh"
  build_windows "$build"

  start_rig --port COM3 --opos-port COM3
  set_line_baseline COM3

  echo "soak: $presses presses under Wine ($(wine --version 2>/dev/null)) against the emulated display on COM3"
  local start=$SECONDS status=0 commands
  tools/wine-rig/wine-run "$DRIVER" soak --program "$PROGRAM" --port COM3 --record "$RIG_DIR/vfd-com3.rec" \
    --count "$presses" >"$RIG_DIR/soak.out" 2>&1 || status=1
  grep -v '^  ok  ' "$RIG_DIR/soak.out" || true
  commands="enter exit$(printf ' enter query write exit%.0s' $(seq 1 "$presses"))"
  /usr/bin/python3 tests/e2e/check_log.py "$RIG_DIR/vfd-com3.log" --commands "$commands" \
    --opens $((presses + 1)) --records "$presses" --restored "$BASELINE_LINE" || status=1
  echo "soak: $([ "$status" = 0 ] && echo passed || echo FAILED), wall time $((SECONDS - start)) s"
  return "$status"
}

# ---- suites --------------------------------------------------------------------

LOAD_PIDS=()
start_load() {
  for _ in 1 2; do
    (while :; do :; done) &
    LOAD_PIDS+=($!)
  done
}
stop_load() {
  [ "${#LOAD_PIDS[@]}" -eq 0 ] && return 0
  kill "${LOAD_PIDS[@]}" 2>/dev/null || true
  wait "${LOAD_PIDS[@]}" 2>/dev/null || true
  LOAD_PIDS=()
}
# The native run beside a run of the beside pass, when the soak is stopped:
# its session's process group, by the id of the session it was started in.
BESIDE_PIDS=()
stop_all() {
  stop_load
  [ "${#BESIDE_PIDS[@]}" -eq 0 ] && return 0
  kill -- "-${BESIDE_PIDS[0]}" 2>/dev/null || true
  wait "${BESIDE_PIDS[@]}" 2>/dev/null || true
  BESIDE_PIDS=()
}

# The failed tests a stage's log names, one line each.
failed_tests_of() {
  sed -n '/The following tests FAILED/,$p' "$1" | grep -E '^[[:space:]]+[0-9]+ - ' || true
}

# One run of both stages, in the pass's conditions (fresh: a TMPDIR of its
# own as a fresh machine's /tmp; beside: a second native run next to it).
# Sets RUN_FAILED (0 or 1), RUN_SECONDS and adds the load average at its end
# to LOADS.
suite_run() {
  local pass="$1" run="$2" start=$SECONDS stage log began line="" failed_tests fresh="" beside=""
  RUN_FAILED=0
  if [ "$pass" = fresh ]; then
    fresh="$(mktemp -d /tmp/vfd-soak-tmp.XXXXXX)" && chmod 1777 "$fresh"
  fi
  if [ "$pass" = beside ]; then
    # In a session of its own, so that a stopped soak ends it with its tests.
    setsid bash -c 'source scripts/stages.sh && native_tests' >"$LOGS/$pass-$run-beside.log" 2>&1 </dev/null &
    beside=$!
    BESIDE_PIDS+=("$beside")
  fi
  for stage in native_tests windows_tests; do
    log="$LOGS/$pass-$run-$stage.log"
    began=$SECONDS
    if (if [ -n "$fresh" ]; then export TMPDIR="$fresh"; fi; "$stage") >"$log" 2>&1 </dev/null; then
      line+="  $stage ok ($((SECONDS - began)) s)"
    else
      RUN_FAILED=1
      line+="  $stage FAILED ($((SECONDS - began)) s)"
      failed_tests="$(failed_tests_of "$log")"
      [ -n "$failed_tests" ] && line+=$'\n'"$failed_tests"
    fi
  done
  if [ -n "$beside" ]; then
    if wait "$beside"; then
      line+="  beside: native_tests ok"
    else
      RUN_FAILED=1
      line+="  beside: native_tests FAILED"
      failed_tests="$(failed_tests_of "$LOGS/$pass-$run-beside.log")"
      [ -n "$failed_tests" ] && line+=$'\n'"$failed_tests"
    fi
    BESIDE_PIDS=()
  fi
  [ -n "$fresh" ] && rm -rf "$fresh"
  RUN_SECONDS=$((SECONDS - start))
  LOADS+=" $(cut -d' ' -f1 /proc/loadavg)"
  echo "  $pass run $run: $RUN_SECONDS s, load $(cut -d' ' -f1-3 /proc/loadavg):$line"
}

# RUNS runs of one pass; prints its summary line into SUMMARY.
suite_pass() {
  local pass="$1" runs="$2" run failures=0 total=0 min="" max=0
  LOADS=""
  for run in $(seq 1 "$runs"); do
    suite_run "$pass" "$run"
    failures=$((failures + RUN_FAILED))
    total=$((total + RUN_SECONDS))
    [ -z "$min" ] || [ "$RUN_SECONDS" -lt "$min" ] && min=$RUN_SECONDS
    [ "$RUN_SECONDS" -gt "$max" ] && max=$RUN_SECONDS
  done
  SUMMARY+="$(printf '%-9s %d runs, %d failed, %d s a run (min %d, max %d), load average at the end of each run:%s' \
    "$pass:" "$runs" "$failures" $((total / runs)) "$min" "$max" "$LOADS")"$'\n'
  FAILURES=$((FAILURES + failures))
}

soak_suites() {
  local runs="$1" loaded_only="$2"
  # shellcheck source=scripts/stages.sh
  source scripts/stages.sh
  bash scripts/install-deps.sh >/dev/null
  LOGS="$ROOT/build/soak"
  mkdir -p "$LOGS"
  echo "soak: building the native and the Windows build"
  native_build >"$LOGS/native-build.log" 2>&1 || { tail -20 "$LOGS/native-build.log"; return 1; }
  windows_build >"$LOGS/windows-build.log" 2>&1 || { tail -20 "$LOGS/windows-build.log"; return 1; }
  SUMMARY="" FAILURES=0
  trap stop_all EXIT
  # Stopped by a signal, the EXIT trap still ends what was started.
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  echo "soak: native tests and the Wine stage, $runs runs beside two CPU-bound processes"
  start_load
  suite_pass loaded "$runs"
  stop_load
  if [ "$loaded_only" = 0 ]; then
    echo "soak: the same, $runs runs with /tmp as a fresh machine has it (a TMPDIR of each run's own)"
    suite_pass fresh "$runs"
    echo "soak: the same, $runs runs with a second run of the native tests started beside each"
    suite_pass beside "$runs"
    echo "soak: the same, $runs runs without any of these"
    suite_pass unloaded "$runs"
  fi
  printf '%s' "$SUMMARY"
  echo "soak: $([ "$FAILURES" = 0 ] && echo passed || echo FAILED) (logs in $LOGS)"
  [ "$FAILURES" = 0 ]
}

main() {
  local presses=300 runs=5 build="$ROOT/build/windows" suites=0 loaded_only=0
  while [ $# -gt 0 ]; do
    case "$1" in
      --build-dir) build="$2"; shift 2 ;;
      --suites) suites=1; shift ;;
      --loaded-only) loaded_only=1; shift ;;
      -h | --help) usage; exit 0 ;;
      [0-9]*) presses="$1" runs="$1"; shift ;;
      *) echo "soak: unknown option $1 (try --help)" >&2; exit 2 ;;
    esac
  done
  if [ "$suites" = 1 ]; then
    soak_suites "$runs" "$loaded_only"
  else
    soak_presses "$presses" "$build"
  fi
}

main "$@"

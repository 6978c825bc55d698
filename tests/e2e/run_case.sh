#!/usr/bin/env bash
# One end-to-end case of cases.txt: brings up its Wine rig (throwaway
# prefix, emulated displays on COM ports, the registry the case needs, Xvfb),
# lets the driver run the case's scenario against vfdstartup.exe, runs the
# case's checks of the displays' logs, and takes the rig down again whatever
# happened.
#
#   run_case.sh CASE PROGRAM.exe DRIVER.exe ARTIFACTS_DIR
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
RIG="$ROOT/tools/wine-rig/rig.sh"
WINE_RUN="$ROOT/tools/wine-rig/wine-run"

# @BASELINE@ in a case's check: the ports start at these settings, so that a
# port whose settings were not put back shows in the log.
BASELINE_STTY="9600 cstopb"
BASELINE_LINE="baud=9600 stop_bits=2 crtscts=false"

# The case's lines of cases.txt into RIG_OPTIONS, LOG_CHECKS ("file.log
# --option value ...") and BASELINE; the driver reads its own line.
read_case() {
  local key rest found=0
  RIG_OPTIONS=() LOG_CHECKS=() BASELINE=0
  while read -r key rest; do
    if [ "$key" = case ]; then
      [ "$found" = 1 ] && break
      [ "${rest%% *}" = "$CASE" ] && found=1
    elif [ "$found" = 1 ] && [ "$key" = rig ]; then
      eval "RIG_OPTIONS=($rest)"
    elif [ "$found" = 1 ] && [ "$key" = check ]; then
      [ "$rest" = "${rest//@BASELINE@/}" ] || BASELINE=1
      LOG_CHECKS+=("${rest//@BASELINE@/\'$BASELINE_LINE\'}")
    fi
  done <"$HERE/cases.txt"
  [ "$found" = 1 ] || { echo "run_case: no case $CASE in $HERE/cases.txt" >&2; exit 2; }
}

# Requests from the driver that only the Linux side can carry out: moving a
# port's dosdevices link away and back ("unlink com3", "relink com3").
serve_driver_requests() {
  local request="$RIG_DIR/vfd-helper.request" done="$RIG_DIR/vfd-helper.done"
  while :; do
    if [ -s "$request" ]; then
      local verb port link result=ok
      read -r verb port <"$request"
      rm -f "$request"
      link="$WINEPREFIX/dosdevices/${port,,}"
      case "$verb" in
        unlink) mv "$link" "$link.gone" || result=failed ;;
        relink) mv "$link.gone" "$link" || result=failed ;;
        *) result="unknown request $verb" ;;
      esac
      echo "$result" >"$done"
    fi
    sleep 0.05
  done
}

# Sets the line of each rig port to the baseline settings, then empties its
# log so that the test's own open of the pty is not counted.
set_baseline() {
  local port link
  for port in $VFD_RIG_PORTS; do
    link="$RIG_DIR/${port,,}"
    stty -F "$link" $BASELINE_STTY || return 1
    "$RIG" control "$port" reset-log || return 1
  done
}

clean_up() {
  if [ -n "${HELPER_PID:-}" ]; then
    kill "$HELPER_PID" 2>/dev/null && wait "$HELPER_PID" 2>/dev/null
  fi
  # The rig's Xvfb goes down with it.
  [ -n "${RIG_DIR:-}" ] && "$RIG" down "$RIG_DIR" >/dev/null 2>&1
  return 0
}

run_log_checks() {
  local status=0 check
  for check in "${LOG_CHECKS[@]}"; do
    eval "set -- $check"
    local log="$1"; shift
    /usr/bin/python3 "$HERE/check_log.py" "$RIG_DIR/$log" "$@" || status=1
  done
  return "$status"
}

# A screenshot the driver saved (startup.bmp), as CASE.png, which every
# image viewer shows.
convert_screenshot() {
  local bmp="$1/startup.bmp"
  [ -f "$bmp" ] && command -v convert >/dev/null || return 0
  convert "$bmp" "$1/$CASE.png" && rm -f "$bmp" && echo "  ..    screenshot: $1/$CASE.png"
}

# On failure the emulators' logs and the rig's Wine log stay with the artifacts.
keep_logs() {
  local into="$1/$CASE-logs"
  mkdir -p "$into"
  cp "$RIG_DIR"/*.log "$RIG_DIR"/*.out "$into/" 2>/dev/null || true
  echo "  ..    logs kept in $into"
}

main() {
  [ $# -eq 4 ] || { echo "usage: run_case.sh CASE PROGRAM.exe DRIVER.exe ARTIFACTS_DIR" >&2; exit 2; }
  CASE="$1"
  local program="$2" driver="$3" artifacts="$4"
  read_case
  mkdir -p "$artifacts"
  artifacts="$(cd "$artifacts" && pwd)"
  rm -rf "${artifacts:?}/$CASE-logs" "$artifacts/startup.bmp"
  local start=$SECONDS status=0
  trap clean_up EXIT
  RIG_DIR="$("$RIG" up --template --quiet --x "${RIG_OPTIONS[@]}")" || { echo "run_case: rig up failed" >&2; exit 1; }
  # shellcheck disable=SC1091
  source "$RIG_DIR/env.sh"
  if [ "$BASELINE" = 1 ]; then
    set_baseline || { echo "run_case: could not set the baseline line settings" >&2; exit 1; }
  fi
  serve_driver_requests &
  HELPER_PID=$!

  "$WINE_RUN" "$driver" "$CASE" --program "$program" --artifacts "$artifacts" >"$RIG_DIR/driver.out" 2>&1 || status=1
  cat "$RIG_DIR/driver.out"
  run_log_checks || status=1
  convert_screenshot "$artifacts"
  [ "$status" -eq 0 ] || keep_logs "$artifacts"
  echo "case $CASE: $([ "$status" -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s"
  return "$status"
}

main "$@"

#!/usr/bin/env bash
# One end-to-end case: brings up a Wine rig (throwaway prefix, emulated
# displays on COM ports, the registry the case needs, Xvfb), lets the driver
# work vfdstartup.exe's dialog, checks what each display received from its
# log, and takes the rig down again whatever happened.
#
#   run_case.sh CASE PROGRAM.exe DRIVER.exe ARTIFACTS_DIR
#   run_case.sh --list | --list-faults
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
RIG="$ROOT/tools/wine-rig/rig.sh"
WINE_RUN="$ROOT/tools/wine-rig/wine-run"

CASES="startup-configured-port startup-listed-port write-and-factory-default wrong-product-type
invalid-character exit-button close-button keyboard enter-at-start"
# One press under a fault, then a press after the display is back to normal
# (driver/faults.cpp). Before the program starts, COM3 is set to 9600 baud
# and two stop bits, so that a port whose settings were not put back shows.
FAULT_CASES="fault-hangup fault-garbage fault-flood fault-trickle fault-product-zero fault-busy fault-link-gone"
BASELINE_STTY="9600 cstopb"
BASELINE_LINE="baud=9600 stop_bits=2 crtscts=false"

# Each case sets RIG_OPTIONS (emulators and registry), DRIVER_ARGS (the
# driver's scenario and what it must see) and LOG_CHECKS (per emulator log:
# "file.log --option value ...").
define_case() {
  local artifacts="$1"
  RIG_OPTIONS=() DRIVER_ARGS=() LOG_CHECKS=() SCREENSHOT=0 BASELINE=0
  case "$CASE" in
    startup-configured-port)
      # COM1 comes first in the list and answers too, but the configured
      # port is tried first and, once it answers, nothing else is probed.
      RIG_OPTIONS=(--port COM1 --port COM3 --opos-port COM3
                   --serialcomm 'Serial0=COM5,Serial1=COM1,Serial2=COM3,Serial3=COM10')
      DRIVER_ARGS=(startup --port COM3 --ports COM1,COM10,COM3,COM5 --artifacts "$artifacts")
      SCREENSHOT=1
      LOG_CHECKS=("vfd-com3.log --commands 'enter exit' --handshake '0 0' --opens 1 --records 0"
                  "vfd-com1.log --commands '' --opens 0")
      ;;
    startup-listed-port)
      # The configured COM7 does not exist; of the two displays the first in
      # the registry's order wins, not the first in the sorted list.
      RIG_OPTIONS=(--port COM2 --port COM4 --opos-port COM7 --serialcomm 'Serial0=COM4,Serial1=COM2')
      DRIVER_ARGS=(startup --port COM4 --ports COM2,COM4)
      LOG_CHECKS=("vfd-com4.log --commands 'enter exit' --opens 1" "vfd-com2.log --commands '' --opens 0")
      ;;
    write-and-factory-default)
      RIG_OPTIONS=(--port COM3 --opos-port COM3)
      DRIVER_ARGS=(write-and-factory --record "$RIG_DIR_PLACEHOLDER/vfd-com3.rec")
      LOG_CHECKS=("vfd-com3.log --commands 'enter exit enter query write exit enter query write exit' \
                   --handshake '0 0 1 1 1 1 1 1 1 1' --opens 3 --records 2")
      ;;
    wrong-product-type)
      # One character off: the whole 15 bytes are compared.
      RIG_OPTIONS=(--port COM3 --opos-port COM3 --exec 'COM3=product-type "CU20029T307B01 "')
      DRIVER_ARGS=(wrong-product --product 'CU20029T307B01 ' --record "$RIG_DIR_PLACEHOLDER/vfd-com3.rec")
      LOG_CHECKS=("vfd-com3.log --commands 'enter exit enter query exit' --opens 2 --records 0")
      ;;
    invalid-character)
      RIG_OPTIONS=(--port COM3 --opos-port COM3)
      DRIVER_ARGS=(invalid-character --record "$RIG_DIR_PLACEHOLDER/vfd-com3.rec")
      LOG_CHECKS=("vfd-com3.log --commands 'enter exit enter query write exit' --opens 2 --records 1")
      ;;
    exit-button | close-button | keyboard | enter-at-start)
      # No display anywhere and no port listed: the dialog comes up at once.
      RIG_OPTIONS=(--ports 0 --serialcomm none)
      DRIVER_ARGS=("$CASE")
      ;;
    fault-*)
      define_fault_case
      ;;
    *)
      echo "run_case: unknown case $CASE (cases: $(echo $CASES))" >&2
      exit 2
      ;;
  esac
}

# The commands each display saw: discovery (enter exit), the fault press,
# then the second press (enter query write exit).
define_fault_case() {
  RIG_OPTIONS=(--port COM3 --opos-port COM3)
  DRIVER_ARGS=("$CASE" --port COM3 --record "$RIG_DIR_PLACEHOLDER/vfd-com3.rec")
  BASELINE=1
  local fault_commands records=1 opens=3 allow=""
  case "$CASE" in
    # The pty hangs up after the first row: the second row or the exit
    # command cannot be written, so no exit. The program's close of the old
    # pty cannot be seen by the emulator, which already has a new one.
    fault-hangup) fault_commands="enter query write"; allow="--allow hangup" ;;
    # A reply of the wrong shape to the enter command: straight to leaving.
    fault-garbage | fault-flood) fault_commands="enter exit" ;;
    fault-trickle) fault_commands="enter query write exit"; records=2 ;;
    fault-product-zero) fault_commands="enter query exit" ;;
    # The press never reaches the display.
    fault-busy | fault-link-gone) fault_commands=""; opens=2 ;;
  esac
  LOG_CHECKS=("vfd-com3.log --commands 'enter exit $fault_commands enter query write exit' --opens $opens \
               --records $records --restored '$BASELINE_LINE' $allow")
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

# The screenshot as PNG too, which every image viewer shows.
convert_screenshot() {
  local bmp="$1/startup.bmp"
  [ "$SCREENSHOT" = 1 ] || return 0
  if [ -f "$bmp" ] && command -v convert >/dev/null; then
    convert "$bmp" "$1/startup.png" && echo "  ..    screenshot: $1/startup.png"
  fi
}

# On failure the emulators' logs and the rig's Wine log stay with the artifacts.
keep_logs() {
  local into="$1/$CASE-logs"
  mkdir -p "$into"
  cp "$RIG_DIR"/*.log "$RIG_DIR"/*.out "$into/" 2>/dev/null || true
  echo "  ..    logs kept in $into"
}

main() {
  if [ "${1:-}" = --list ]; then
    echo $CASES
    return 0
  fi
  if [ "${1:-}" = --list-faults ]; then
    echo $FAULT_CASES
    return 0
  fi
  [ $# -eq 4 ] || { echo "usage: run_case.sh CASE PROGRAM.exe DRIVER.exe ARTIFACTS_DIR" >&2; exit 2; }
  CASE="$1"
  local program="$2" driver="$3" artifacts="$4"
  mkdir -p "$artifacts"
  artifacts="$(cd "$artifacts" && pwd)"
  RIG_DIR_PLACEHOLDER=@RIG@
  define_case "$artifacts"

  rm -rf "${artifacts:?}/$CASE-logs"
  [ "$SCREENSHOT" = 0 ] || rm -f "$artifacts/startup.bmp" "$artifacts/startup.png"
  local start=$SECONDS
  trap clean_up EXIT
  RIG_DIR="$("$RIG" up --template --quiet --x "${RIG_OPTIONS[@]}")" || { echo "run_case: rig up failed" >&2; exit 1; }
  # shellcheck disable=SC1091
  source "$RIG_DIR/env.sh"
  if [ "$BASELINE" = 1 ]; then
    set_baseline || { echo "run_case: could not set the baseline line settings" >&2; exit 1; }
    serve_driver_requests &
    HELPER_PID=$!
  fi

  local args=() arg status=0
  for arg in "${DRIVER_ARGS[@]}"; do args+=("${arg//@RIG@/$RIG_DIR}"); done
  "$WINE_RUN" "$driver" "${args[0]}" --program "$program" "${args[@]:1}" >"$RIG_DIR/driver.out" 2>&1 || status=1
  cat "$RIG_DIR/driver.out"
  run_log_checks || status=1
  convert_screenshot "$artifacts"
  [ "$status" -eq 0 ] || keep_logs "$artifacts"
  echo "case $CASE: $([ "$status" -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s"
  return "$status"
}

main "$@"

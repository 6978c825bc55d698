# Runs inside the drivers guest (tests/qemu/drivers_test.py): ttyS1 (the
# 8250 UART driver) and ttyUSB0 (ftdi_sio) lead to displays, ttyS2 to a
# display that never answers. Each case ends with `step CASE-end`, where the
# host takes what each display received since the case before; the line
# settings of the three ports are kept before and after each case.
. tests/qemu/guest_lib.sh
PORTS="/dev/ttyS1 /dev/ttyUSB0 /dev/ttyS2"

settings() {
  for port in $PORTS /dev/ttyS0; do stty -F "$port" -g; done
}

# exchange CASE COMMAND...: the command as a case, with the settings around it.
exchange() {
  settings >"$OUT/$1.before"
  run_case "$@"
  settings >"$OUT/$1.after"
  step "$1-end"
}

# A rate of the terminal's own, for the program to put back.
for port in $PORTS; do stty -F "$port" 19200; done
export VFDSTARTUP_CONF=/nonexistent/vfdstartup.conf

for dev in ttyS1 ttyUSB0; do
  exchange "$dev-write" "$CLI" write --port "/dev/$dev" --row0 "$ROW0" --row1 "$ROW1" --speed "$SPEED" \
    --state-dir /tmp/state --json
  exchange "$dev-factory" "$CLI" factory-default --port "/dev/$dev" --state-dir /tmp/state --json
done

exchange find env VFDSTARTUP_PORTS="$PORTS" "$CLI" find --json

# CTS: the host drops it once the display has the product type query, so
# the record meets a held line; then raises it again.
step cts-held-begin
exchange cts-held "$CLI" write --port /dev/ttyS1 --row0 "held back" --row1 "by CTS" --state-dir /tmp/state --json
exchange cts-after "$CLI" write --port /dev/ttyS1 --row0 "$ROW0" --row1 "after CTS" --speed "$SPEED" \
  --state-dir /tmp/state --json

if [ "$CASE_SIGTERM_FINISHES_EXCHANGE" = 1 ]; then
  # The host slows the display's replies; SIGTERM once it has the enter command.
  step sigterm-begin
  settings >"$OUT/sigterm.before"
  "$CLI" write --port /dev/ttyS1 --row0 "interrupted" --state-dir /tmp/state --json \
    >"$OUT/sigterm.out" 2>"$OUT/sigterm.err" &
  pid=$!
  step sigterm-entered
  kill -TERM "$pid"
  wait "$pid"
  echo "$?" >"$OUT/sigterm.rc"
  settings >"$OUT/sigterm.after"
  step sigterm-end
fi

if [ "$CASE_FIND_SKIPS_CONSOLE" = 1 ]; then
  # No port list: the program looks at every port but its console, ttyS0.
  exchange find-all env -u VFDSTARTUP_PORTS "$CLI" find --json
fi
echo "drivers guest: done"

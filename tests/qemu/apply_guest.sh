# Runs in the apply guest (tests/qemu/apply_test.py) as a unit of its own,
# once systemd has brought the system up with the package installed. Each
# case changes the message file or has the host plug a USB adapter in or
# out through QEMU's monitor, waits until the unit it starts has run, and
# leaves that unit's state and journal as CASE.state and CASE.journal, then
# `step CASE`: the host looks at what each display received meanwhile.
. tests/qemu/guest_lib.sh
File=/etc/vfdstartup/message.conf

# When UNIT was last started (its conditions checked), in microseconds since
# boot; 0 or nothing before its first start.
started() {
  systemctl show -P ConditionTimestampMonotonic "$1"
}

# ran CASE UNIT SINCE: UNIT started after SINCE and ended; the case's files.
ran() {
  while :; do
    at="$(started "$2")"
    state="$(systemctl show -P ActiveState "$2")"
    [ "${at:-0}" -gt "$3" ] && { [ "$state" = inactive ] || [ "$state" = failed ]; } && break
    sleep 0.1
  done
  systemctl show -p Result -p ExecMainStatus -p ConditionResult -p Group -p ProtectSystem -p NoNewPrivileges \
    -p PrivateTmp -p PrivateNetwork -p CapabilityBoundingSet -p TimeoutStartUSec "$2" >"$OUT/$1.state"
  journalctl -q --no-pager -o cat -u "$2" >"$OUT/$1.journal"
  # The run's own entry (the unit's last), its fields and as journalctl -x
  # explains it; the metrics file it rewrote.
  journalctl -q --no-pager -o json -n 1 -u "$2" SYSLOG_IDENTIFIER=vfdstartup-cli >"$OUT/$1.fields"
  journalctl -q --no-pager -x -n 1 -u "$2" SYSLOG_IDENTIFIER=vfdstartup-cli >"$OUT/$1.explained"
  cat /var/lib/prometheus/node-exporter/vfdstartup.prom >"$OUT/$1.prom" 2>/dev/null
  step "$1"
}

# The tty an adapter with this serial number is, once udev has its link.
tty_of() {
  until link="$(ls /dev/serial/by-id/*"$1"* 2>/dev/null)" && [ -n "$link" ]; do sleep 0.1; done
  basename "$(readlink -f "$link")"
}

gone() {
  while ls /dev/serial/by-id/*"$1"* >/dev/null 2>&1; do sleep 0.1; done
}

# At boot, from the file the package found (vfdstartup-apply.service); the
# printer's adapter, there since power-on, through udev's coldplug.
ran boot vfdstartup-apply.service 0
ran coldplug vfdstartup-apply@ttyUSB0.service 0

# From here to the end a dialout member holds every lock file the units
# take, wherever it can open one (flock -n: a lock it cannot take, it does
# not wait for); every case after this must run as if it were not there.
lock_of() {
  systemctl show -P ExecStart "$1" | sed -n 's/.*argv\[\]=[^ ]*flock \([^ ]*\) .*/\1/p'
}
for lock in $(lock_of vfdstartup-apply.service) $(lock_of vfdstartup-apply@ttyUSB0.service); do
  setpriv --reuid=65534 --regid=65534 --groups="$(getent group dialout | cut -d: -f3)" \
    flock -n "$lock" sleep 3600 >>"$OUT/squatter.log" 2>&1 &
done

# An edit in place, then the same content written anew the way configuration
# tools write a file: a new file renamed over the old one.
before="$(started vfdstartup-apply.service)"
cat "$OUT/edit.conf" >"$File"
ran edit vfdstartup-apply.service "$before"
before="$(started vfdstartup-apply.service)"
cp "$OUT/edit.conf" "$File.new" && mv "$File.new" "$File"
ran same vfdstartup-apply.service "$before"

# The file now names the USB display, which is not plugged in yet: by a
# pattern, then by its by-id link.
before="$(started vfdstartup-apply.service)"
cp "$OUT/usb.conf" "$File.new" && mv "$File.new" "$File"
ran absent vfdstartup-apply.service "$before"
before="$(started vfdstartup-apply.service)"
cp "$OUT/named.conf" "$File.new" && mv "$File.new" "$File"
ran named vfdstartup-apply.service "$before"

step plug-display
display="$(tty_of "$DISPLAY_SERIAL")"
ran plugged "vfdstartup-apply@$display.service" 0

# What the fleet reads now: status, and node_exporter's text file collector
# on the units' directory, scraped over the guest's loopback.
run_case plugged.status vfdstartup-cli status --json
prometheus-node-exporter --web.listen-address="127.0.0.1:$EXPORTER_PORT" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory=/var/lib/prometheus/node-exporter \
  >"$OUT/plugged.exporter-log" 2>&1 &
exporter=$!
until python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())' \
  "http://127.0.0.1:$EXPORTER_PORT/metrics" >"$OUT/plugged.scrape" 2>/dev/null; do
  kill -0 "$exporter" 2>/dev/null || break
  sleep 0.1
done
kill "$exporter"

step replug-printer
printer="$(tty_of "$PRINTER_SERIAL")"
ran printer "vfdstartup-apply@$printer.service" 0

before="$(started "vfdstartup-apply@$display.service")"
step unplug-display
gone "$DISPLAY_SERIAL"
step plug-display-again
again="$(tty_of "$DISPLAY_SERIAL")"
[ "$again" = "$display" ] || before=0
ran replugged "vfdstartup-apply@$again.service" "$before"

# Written on this attachment, the state counts again: the same content
# written anew sends nothing.
before="$(started vfdstartup-apply.service)"
cp "$OUT/usb.conf" "$File.new" && mv "$File.new" "$File"
ran kept vfdstartup-apply.service "$before"

# A POS application, a dialout member's program, has the display's port open
# (a plain open: no lock file, no exclusive mode) when the udev rule's unit
# fires: the unit ends busy and names it, and the display receives nothing.
# The apply lock, held here while the display is plugged in again, lets the
# holder open the new node before the unit's run begins.
before="$(started "vfdstartup-apply@$again.service")"
exec 8>/run/vfdstartup/apply.lock
flock 8
step unplug-display-while-held
gone "$DISPLAY_SERIAL"
step plug-display-while-held
held="$(tty_of "$DISPLAY_SERIAL")"
[ "$held" = "$again" ] || before=0
setpriv --reuid=65534 --regid=65534 --groups="$(getent group dialout | cut -d: -f3)" \
  sh -c 'exec sleep 3600 3<>"$1"' holder "/dev/$held" &
holder=$!
until [ "$(readlink "/proc/$holder/fd/3")" = "/dev/$held" ]; do sleep 0.1; done
echo "$holder" >"$OUT/held.holder"
flock -u 8
exec 8>&-
ran held "vfdstartup-apply@$held.service" "$before"
kill "$holder"
wait "$holder"
again="$held"

# A technician swaps the display for another one (the factory default on
# it) whose adapter has the same serial number: the same by-id name.
before="$(started "vfdstartup-apply@$again.service")"
step unplug-display-for-the-other
gone "$DISPLAY_SERIAL"
step plug-other-display
other="$(tty_of "$DISPLAY_SERIAL")"
[ "$other" = "$again" ] || before=0
ran swapped "vfdstartup-apply@$other.service" "$before"

# Without a message file neither unit has anything to do.
before="$(started vfdstartup-apply.service)"
rm "$File"
ran removed vfdstartup-apply.service "$before"
before="$(started "vfdstartup-apply@$other.service")"
step unplug-other-display
gone "$DISPLAY_SERIAL"
step plug-display-without-file
last="$(tty_of "$DISPLAY_SERIAL")"
[ "$last" = "$other" ] || before=0
ran unfiled "vfdstartup-apply@$last.service" "$before"
echo "apply guest: done"

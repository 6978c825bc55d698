# Runs in the apply guest's writable root before systemd starts
# (tests/qemu/apply_test.py, guest.sh boot --prepare): the terminal as an
# administrator sets it up. The Debian package is installed as dpkg installs
# it (postinst enables its units), the message file written, and a unit of
# the test's own runs apply_guest.sh once the system is up.
OUT="$1"
. "$OUT/guest.env"

# Nothing of this machine's own services starts in the guest (they are its
# container's), nor a login prompt or a session manager the test has no use for.
rm -f /etc/systemd/system/*.wants/*
for unit in getty.target systemd-logind.service dbus.service dbus.socket systemd-timesyncd.service; do
  ln -sf /dev/null "/etc/systemd/system/$unit"
done

# man-db's trigger would index every manual page of this machine anew.
rm -f /var/lib/man-db/auto-update
echo "dpkg starts at $(cut -d' ' -f1 /proc/uptime)" >>"$OUT/dpkg.log"
dpkg -i "$DEB" >>"$OUT/dpkg.log" 2>&1 || { cat "$OUT/dpkg.log"; exit 1; }
echo "dpkg ends at $(cut -d' ' -f1 /proc/uptime)" >>"$OUT/dpkg.log"
# The package made /etc/vfdstartup: the documented step, a copy into it.
cp "$OUT/boot.conf" /etc/vfdstartup/message.conf || exit 1
# node_exporter's text file directory, as prometheus-node-exporter makes it.
mkdir -p /var/lib/prometheus/node-exporter

cat >/etc/systemd/system/vfd-apply-test.service <<UNIT
[Unit]
Description=vfdstartup: the apply test's steps
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
WorkingDirectory=$PWD
ExecStart=/bin/sh tests/qemu/apply_guest.sh $OUT
StandardOutput=journal+console
TimeoutStartSec=infinity
UNIT
ln -s /etc/systemd/system/vfd-apply-test.service /etc/systemd/system/multi-user.target.wants/

# Runs inside each guest of the SSH fleet (tests/qemu/fleet_ssh_test.py): a
# point-of-sale terminal whose display is on ttyS1, reached by Ansible as the
# unprivileged user "pos" (in the dialout group, as on an installed
# terminal) through sshd, until the host leaves $OUT/stop.
. tests/qemu/guest_lib.sh

# What udev and the package would do on a real terminal.
chgrp dialout /dev/ttyS1 && chmod 0660 /dev/ttyS1
mkdir -p /var/lib/vfdstartup && chown pos:pos /var/lib/vfdstartup
# The terminal's configured port (the host's /etc is read-only here).
echo "port=/dev/ttyS1" >/run/vfdstartup.conf

SSHD="$PWD/build/qemu-guest/sshd"
env "$(cat "$SSHD/environment")" "$SSHD/root/usr/sbin/sshd" -f "$SSHD/sshd_config" -E "$OUT/sshd.log"
echo "sshd started at $(cut -d' ' -f1 /proc/uptime) s" >"$OUT/sshd-started"
while [ ! -e "$OUT/stop" ]; do sleep 2; done
echo "fleet guest: stopped"

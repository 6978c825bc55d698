# Runs inside the benchmark's guest (tests/qemu/drivers_bench.py): WRITES
# writes through each port, a new message each, timed by the guest's clock
# (the program's start under TCG included).
. tests/qemu/guest_lib.sh
for dev in ttyS1 ttyUSB0; do
  i=0
  while [ "$i" -lt "$WRITES" ]; do
    i=$((i + 1))
    start=$(date +%s%N)
    "$CLI" write --port "/dev/$dev" --row0 "bench $dev" --row1 "run $i" --state-dir /tmp/state >/dev/null 2>&1
    rc=$?
    echo "$dev $(( ($(date +%s%N) - start) / 1000000 )) $rc" >>"$OUT/times"
  done
done

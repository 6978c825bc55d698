# Sourced by the scripts that run inside a guest (sh SCRIPT /run/vfd): the
# exchange directory is $OUT; guest.env there holds what the host passes.
OUT="$1"
. "$OUT/guest.env"

# step NAME: the host does what NAME asks, then this returns.
step() {
  : >"$OUT/step-$1"
  while [ ! -e "$OUT/step-$1.done" ]; do sleep 0.02; done
}

# run_case NAME COMMAND...: its output, errors and exit code as NAME.out,
# NAME.err, NAME.rc in $OUT.
run_case() {
  name="$1"
  shift
  "$@" >"$OUT/$name.out" 2>"$OUT/$name.err"
  echo "$?" >"$OUT/$name.rc"
}

#!/usr/bin/env bash
# Longer fuzz runs: builds the fuzz preset (clang-14, libFuzzer, ASan, UBSan)
# and runs every target for the given number of seconds (default 300), one
# after the other, from its seed corpus plus what earlier runs found (kept
# in build/fuzz/corpus/<target>, never in the sources). Prints executions,
# executions per second and coverage (cov: edges, ft: features) per target.
# A crash leaves its input in build/fuzz/crashes/<target>/ and makes the
# script fail; reproduce it with
#   VFD_FUZZ_VERBOSE=1 build/fuzz/tests/fuzz/fuzz_<target> <input>
# Usage: scripts/fuzz.sh [seconds] [target...]
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

SECONDS_EACH="${1:-300}"
shift || true
TARGETS=("$@")
if [ "${#TARGETS[@]}" -eq 0 ]; then
  TARGETS=(reply_checks row_text reply_reading port_discovery write_sequence
           message_file cli_options state_file lock_file)
fi

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz -j2 || exit 1

BIN="build/fuzz/tests/fuzz"
failed=()
summary=()
for target in "${TARGETS[@]}"; do
  corpus="build/fuzz/corpus/$target"
  crashes="build/fuzz/crashes/$target"
  log="build/fuzz/logs/$target.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  dictionary="tests/fuzz/$target.dict"   # the parsers' own words; the module's bytes else
  [ -f "$dictionary" ] || dictionary=tests/fuzz/vfd.dict
  echo "=== $target: ${SECONDS_EACH} s"
  "$BIN/fuzz_$target" -max_total_time="$SECONDS_EACH" -timeout=20 -print_final_stats=1 \
    -dict="$dictionary" -artifact_prefix="$crashes/" \
    "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | grep -E ' cov: ' | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9A-Za-z]*\).*/\1/p' <<<"$last")
  line=$(printf '%-16s %10s execs %8s exec/s  cov: %-6s ft: %-6s corpus: %s' \
    "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")
  if [ "$status" -ne 0 ]; then
    line="$line  FAILED (see $log, input in $crashes/)"
    failed+=("$target")
    grep -E 'invariant broken|ERROR: |SUMMARY' "$log" | head -5
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "=== summary (${SECONDS_EACH} s each)"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi

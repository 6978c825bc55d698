#!/usr/bin/env bash
# Benchmark (not a test): wall time of port discovery under Wine for 1, 4 and
# 16 listed ports whose modules hold CTS down, answer, or stay silent with
# CTS up, printed next to the floor that the probe's waits imply.
#
#   scripts/bench-discovery.sh [--build-dir DIR] [--quick] [-- BENCH OPTIONS]
#
#   --build-dir DIR  the cross build to use (default: the windows preset,
#                    build/windows); configured and built as needed
#   --quick          silent ports only up to 4 (the 16-port silent run alone
#                    takes about 81 s)
#   BENCH OPTIONS    passed on: --sizes 1,4,16  --silent-max N
#
# Brings up its own Wine rig with 16 emulated modules and Xvfb, and takes it
# down again. About two minutes in full, 40 s with --quick.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

build=""
bench_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --quick) bench_args+=(--silent-max 4); shift ;;
    --) shift; bench_args+=("$@"); break ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench-discovery: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  build="$ROOT/build/windows"
  [ -f "$build/build.ninja" ] || cmake --preset windows >/dev/null
else
  [ -f "$build/build.ninja" ] ||
    cmake -S "$ROOT" -B "$build" -G Ninja --toolchain "$ROOT/cmake/toolchain-mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target vfd_discovery_bench -j2 >/dev/null
bench="$build/tests/win32/vfd_discovery_bench.exe"

echo "discovery under Wine ($(wine --version 2>/dev/null)), emulated modules on ptys"
start=$SECONDS
tools/wine-rig/rig.sh run --x --ports 16 --template --quiet -- \
  tools/wine-rig/wine-run "$bench" "${bench_args[@]}"
echo "benchmark wall time: $((SECONDS - start)) s"

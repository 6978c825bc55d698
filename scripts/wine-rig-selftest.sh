#!/usr/bin/env bash
# Self-check of the Wine rig (emulated displays, modem lines, registry,
# wine-run). See tools/README.md. Pass --faults to also print what each of
# the emulator's fault modes looks like from the Windows side.
exec "$(cd "$(dirname "$0")/.." && pwd)/tools/wine-rig/selftest.sh" "$@"

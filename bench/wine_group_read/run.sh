#!/usr/bin/env bash
# Runs group_read_bench.exe under Wine over a group of MEMBERS members (2000)
# read through the test ADSI provider from a slapd of its own, in the
# Windows build's prefix. ARGS go to the program after the directory's:
# a number of rounds (3), or "memory <reads>".
#
#   bench/wine_group_read/run.sh [MEMBERS [ARGS...]]   (from the repository)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$root/build/windows/bin
members=${1:-2000}
shift || true
KV_SOAK_MODE=bench KV_SOAK_MEMBERS=$members KV_BENCH_ARGS="$*" exec bash "$root/tests/wine_cycles/soak.sh" \
  "$bin/kelvasync.exe" "$bin/pelorlib.dll" "$bin/kvtest-adsi.dll" "$root/build/linux" "$bin/group_read_bench.exe"

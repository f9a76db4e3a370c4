#!/usr/bin/env bash
# The service's main job on this machine, against embedded defaults: builds
# kelvasync, runs it in console mode under a temporary program-files folder
# for a few seconds, stops it as an operator would (SIGINT, like Ctrl+C), and
# shows the log it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build build/linux -j"$(nproc)" --target kelvasync
base=$(mktemp -d)
trap 'rm -rf "$base"' EXIT
mkdir -p "$base/Karvell Networks/HSM Karvell/data"
echo "--- kelvasync -c (program-files folder: $base), stopped after ${KV_DEMO_SECONDS:-5} s"
KELVASYNC_PROGRAM_FILES=$base build/linux/src/service/kelvasync -c </dev/null &
pid=$!
sleep "${KV_DEMO_SECONDS:-5}"
kill -INT "$pid"
wait "$pid"
echo "--- exit code $?; the log file:"
cat "$base/Karvell Networks/HSM Karvell/data/kelvasync.log"

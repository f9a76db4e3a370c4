#!/usr/bin/env bash
# Builds every libFuzzer target (preset "fuzz") and runs each for a short
# while, so a parser that crashes on odd input is caught in CI. Longer runs:
#   KV_FUZZ_SECONDS=600 scripts/fuzz-smoke.sh
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${KV_FUZZ_SECONDS:-20}
cmake --preset fuzz >/dev/null && cmake --build build/fuzz -j"$(nproc)" || exit 1
status=0
while IFS= read -r target; do
  corpus=$(mktemp -d)
  echo "--- $(basename "$target") for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=0 "$corpus" >"$corpus.log" 2>&1; then
    tail -40 "$corpus.log"
    status=1
  else
    grep -E '^Done|#[0-9]+.*DONE' "$corpus.log" | tail -1
  fi
  rm -rf "$corpus" "$corpus.log"
done < <(find build/fuzz -type f -name '*_fuzz' -perm -u+x | sort)
exit $status

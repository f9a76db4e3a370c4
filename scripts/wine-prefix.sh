#!/usr/bin/env bash
# Prepares a Wine prefix for non-interactive runs and prints its path.
#
#   scripts/wine-prefix.sh            -> $KV_WINEPREFIX or build/wineprefix
#
# A fresh prefix is initialised once (wineboot), then the first wineserver is
# waited for (otherwise two service managers run) and made persistent
# (otherwise services die with the last Wine process). Safe to call from
# several processes at once: the set-up is serialised by a lock file, and no
# Wine process started here keeps that lock.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${KV_WINEPREFIX:-$root/build/wineprefix}
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.kv-ready" ]; then
  rm -rf "$prefix"
  timeout 300 wineboot --init >"$prefix.boot.log" 2>&1 9>&- || { echo "wineboot failed, see $prefix.boot.log" >&2; exit 1; }
  timeout 120 wineserver -w 9>&- || true
  touch "$prefix/.kv-ready"
fi
# Keep one wineserver alive across runs (a no-op when it already runs). It
# must not inherit the lock's descriptor, or it would hold the lock for ever.
timeout 30 wineserver -p >/dev/null 2>&1 9>&- || true
echo "$prefix"

#!/usr/bin/env bash
# Ends the Wine server of the test prefix and removes the prefix (~700 MB).
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${KV_WINEPREFIX:-$root/build/wineprefix}
WINEPREFIX=$prefix timeout 60 wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix" "$prefix.lock" "$prefix.boot.log"

#!/usr/bin/env bash
# Runs a Windows program of the cross-build under Wine, for CTest.
# Output goes to a file first (a Wine program's output must never be piped
# straight from the first Wine process), then to our standard output. The
# program's exit code is returned; Wine keeps only its low 8 bits.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$("$here/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
out=$(mktemp)
timeout "${KV_WINE_TIMEOUT:-900}" wine "$@" >"$out" 2>&1 </dev/null
rc=$?
tr -d '\r' <"$out"
rm -f "$out"
exit $rc

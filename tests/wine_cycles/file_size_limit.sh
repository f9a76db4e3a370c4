#!/usr/bin/env bash
# Runs a Windows test program under Wine with every file it writes limited to
# <bytes> (a multiple of 1024), the limit named to it in
# KV_TEST_FILE_SIZE_LIMIT:
#
#   file_size_limit.sh <bytes> <program.exe> [arguments...]
#
# SIGXFSZ is ignored, so the write that crosses the limit comes back short
# (WriteFile reports fewer bytes written) instead of ending the program, as
# a write cut by a quota or a disk that fills part-way comes back on Windows.
# The prefix and its wineserver are made ready first, without the limit: the
# server writes the registry and must never run under it.
set -uo pipefail
bytes=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
prefix=$("$here/../../scripts/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" KV_TEST_FILE_SIZE_LIMIT=$bytes
out=$(mktemp)
(
  ulimit -f $((bytes / 1024)) || exit 1
  trap '' XFSZ
  exec timeout "${KV_WINE_TIMEOUT:-600}" wine "$@" >"$out" 2>&1 </dev/null
)
rc=$?
tr -d '\r' <"$out"
rm -f "$out"
exit $rc

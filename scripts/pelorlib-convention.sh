#!/usr/bin/env bash
# Tells the calling convention of a pelorlib.dll, and whether kelvasync.exe
# can load it:
#
#   scripts/pelorlib-convention.sh pelorlib.dll
#
# Prints "x64" (one convention only), "cdecl" or "stdcall" for a 32-bit DLL,
# followed by the way it exports its calls: "plain" (KvOpenSession, what
# kelvasync.exe imports) or "decorated" (_KvOpenSession@20 or
# KvOpenSession@20, which kelvasync.exe cannot load). A decorated name
# carries its convention; for a plain one the instruction that returns from
# KvOpenSession does: "ret $0x14" (the callee removes its 20 bytes of
# arguments) is __stdcall, a bare "ret" the C convention. Exit code 0 when
# the twelve calls are exported plainly, 1 otherwise.
set -euo pipefail
dll=$1
objdump=x86_64-w64-mingw32-objdump
format=$($objdump -f "$dll" | sed -n 's/.*file format //p')
headers=$($objdump -p "$dll")
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' <<<"$headers")
exports="plain"
for call in KvInitialize KvFinalize KvOpenSession KvCloseSession KvListUsers KvCreateUser KvRemoveUser \
            KvSetUserParam KvReadFile KvWriteFile KvRemoveObj KvRenameObj; do
  if grep -qE " _?$call@[0-9]+$" <<<"$names"; then exports="decorated"
  elif ! grep -qE " $call$" <<<"$names"; then echo "$dll: $call is not exported" >&2; exit 1
  fi
done
if [ "$format" = pei-x86-64 ]; then
  echo "x64 $exports"
elif grep -qE " _?KvOpenSession@[0-9]+$" <<<"$names"; then
  echo "stdcall $exports"
else
  index=$(awk '$2 == "KvOpenSession" {print $1}' <<<"$names")
  rva=$(sed -n "s/^\s*\[ *$index\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA$/\1/p" <<<"$headers" | head -1)
  base=$(sed -n 's/^ImageBase\s*\([0-9a-f]*\)$/\1/p' <<<"$headers")
  start=$((0x$base + 0x$rva))
  ret=$(i686-w64-mingw32-objdump -d --start-address=$start --stop-address=$((start + 4096)) "$dll" |
        grep -m1 -E '\sret\s*(\$0x[0-9a-f]+)?\s*$' || true)
  case "$ret" in
    *'ret    $0x14'* | *'ret $0x14'*) echo "stdcall $exports" ;;
    *ret*) echo "cdecl $exports" ;;
    *) echo "$dll: no return found in KvOpenSession" >&2; exit 1 ;;
  esac
fi
[ "$exports" = plain ]

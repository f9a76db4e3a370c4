#!/usr/bin/env bash
# Memory of the unmodified Windows kelvasync.exe over many update cycles under
# Wine: a group of KV_SOAK_MEMBERS members (50) read through the test ADSI
# provider over plain LDAP from a slapd of its own, an hsm-emulator of its
# own, updatefrequencyinminutes=0, so that cycles follow one another.
#
#   soak.sh <kelvasync.exe> <pelorlib.dll> <kvtest-adsi.dll> <Linux build folder> [group_read_bench.exe]
#
# KV_SOAK_MODE     console (-c, stopped with Ctrl+C), service (-i, sc start,
#                  sc stop, -d), or bench: group_read_bench.exe instead of
#                  kelvasync.exe, over the same directory, with the arguments
#                  in KV_BENCH_ARGS after the directory's (see
#                  bench/wine_group_read/run.sh)
# KV_SOAK_CYCLES   cycles to run (300)
# KV_SOAK_EVERY    a sample every that many cycles (25), taken when the
#                  cycle's member count is logged: cycles, the process's
#                  VmRSS and its open descriptors (Wine gives a file or
#                  socket handle a descriptor of the Unix process)
# KV_SOAK_WARMUP   cycles left out of the growth (100): Wine's heaps and
#                  caches fill during the first ones
# KV_SOAK_MAX_KB   the bound on the RSS growth after the warm-up (2048 KB);
#                  the run fails above it, when a cycle takes more than
#                  120 s, or when the log holds an Erro line
#
# Growth is measured between the lowest RSS of the samples at or after the
# warm-up and the highest of the last quarter of the run's samples: one
# sample taken while a cycle holds its member list cannot make a flat
# process look growing.
set -uo pipefail
exe=$1 pelorlib=$2 provider=$3 host_build=$4 bench=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mode=${KV_SOAK_MODE:-console}
cycles=${KV_SOAK_CYCLES:-300}
every=${KV_SOAK_EVERY:-25}
warmup=${KV_SOAK_WARMUP:-100}
max_kb=${KV_SOAK_MAX_KB:-2048}
members=${KV_SOAK_MEMBERS:-50}
emulator=$host_build/emulator/hsm-emulator
passwd_tool=$host_build/tools/passwd/kelvasync-passwd
for f in "$emulator" "$passwd_tool"; do
  [ -x "$f" ] || { echo "missing $f: build the Linux preset first"; exit 1; }
done
prefix=$("$root/scripts/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/kv-soak-XXXXXX)
suffix="dc=kelvasync,dc=test"
win_dir="$prefix/drive_c/kvsoak"
product="$prefix/drive_c/Program Files (x86)/Karvell Networks/HSM Karvell"
log="$product/data/kelvasync.log"
provider_dll='C:\kvsoak\'$(basename "$provider")
pids=()
winpid=""

cleanup() {
  if [ -n "$winpid" ]; then
    kill -INT "$winpid" 2>/dev/null
    for _ in $(seq 1 120); do kill -0 "$winpid" 2>/dev/null || break; sleep 0.5; done
  fi
  if [ "$mode" = service ]; then
    timeout 120 wine sc stop kelvasync >/dev/null 2>&1 </dev/null
    timeout 120 wine 'C:\kvsoak\kelvasync.exe' -d >/dev/null 2>&1 </dev/null
  fi
  timeout 60 wine regsvr32 /u /s "$provider_dll" >/dev/null 2>&1 </dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  [ -f "$work/slapd.pid" ] && kill "$(cat "$work/slapd.pid")" 2>/dev/null
  rm -rf "$work" "$win_dir"
}
trap cleanup EXIT

# The directory: the group Soak of $members users.
awk -v n="$members" -v suffix="$suffix" 'BEGIN {
    printf "dn: %s\nobjectClass: domain\ndc: kelvasync\n", suffix
    printf "\ndn: ou=Users,%s\nobjectClass: organizationalUnit\nou: Users\n", suffix
    printf "\ndn: cn=svc,ou=Users,%s\nobjectClass: user\ncn: svc\nsn: svc\nsAMAccountName: svc\nuserPassword: segredo\n", suffix
    printf "\ndn: cn=Soak,ou=Users,%s\nobjectClass: group\ncn: Soak\n", suffix
    for (i = 1; i <= n; i++) printf "member: cn=Membro %05d,ou=Users,%s\n", i, suffix
    for (i = 1; i <= n; i++)
      printf "\ndn: cn=Membro %05d,ou=Users,%s\nobjectClass: user\ncn: Membro %05d\nsn: Membro\n" \
        "sAMAccountName: M%05d\nmemberOf: cn=Soak,ou=Users,%s\n", i, suffix, i, i, suffix
  }' >"$work/soak.ldif"
line=$(KV_SLAPD_ANY_TRANSPORT=1 "$root/scripts/start-slapd.sh" "$work/slapd" "$work/soak.ldif" $$) ||
  { echo "slapd did not start"; exit 1; }
echo "${line#* }" >"$work/slapd.pid"
{
  "$emulator" init --state "$work/hsm" --master-password kv-master-1 &&
    "$emulator" add-user --state "$work/hsm" --name IntegracaoAD --password 73905162
} >"$work/hsm-admin.log" 2>&1 || { cat "$work/hsm-admin.log"; exit 1; }
"$emulator" serve --state "$work/hsm" --port 0 --port-file "$work/hsm.port" </dev/null >"$work/hsm.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/hsm.port" ] && break; sleep 0.1; done

# The provider over plain LDAP (see cycles.sh: the value lives in the
# prefix's environment, read once per Wine session).
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
if ! timeout 60 wine reg query "$env_key" /v KVTEST_LDAP_TRANSPORT 2>/dev/null </dev/null | tr -d '\r' |
  grep -qE 'REG_SZ +plain$'; then
  timeout 60 wine reg add "$env_key" /v KVTEST_LDAP_TRANSPORT /d plain /f >/dev/null 2>&1 </dev/null
  timeout 60 wineserver -k
  timeout 60 wineserver -w
  "$root/scripts/wine-prefix.sh" >/dev/null || exit 1
fi
mkdir -p "$win_dir" "$product/data"
cp "$exe" "$pelorlib" "$provider" "$win_dir/"
timeout 60 wine regsvr32 /s "$provider_dll" >/dev/null 2>&1 </dev/null || { echo "provider not registered"; exit 1; }
encrypt() { printf '%s' "$1" | "$passwd_tool"; }
printf '[activedirectory]\r\nhost=127.0.0.1:%s\r\nusr=cn=svc,ou=Users,%s\r\npwd=%s\r\ngroup=CN=Soak,OU=Users,%s\r\nupdatefrequencyinminutes=0\r\n[hsm]\r\nhost=127.0.0.1:%s\r\nusr=master\r\npwd=%s\r\nremoveusers=block\r\n' \
  "${line% *}" "$suffix" "$(encrypt segredo)" "$suffix" "$(cat "$work/hsm.port")" "$(encrypt kv-master-1)" \
  >"$product/kelvasync.ini"
rm -f "$log"

# The process of C:\kvsoak\kelvasync.exe in this prefix: the one whose
# first argument is the program (not wine's or start.exe's, which name it
# further on).
find_process() {
  local pid
  for pid in $(pgrep -f 'kvsoak.kelvasync\.exe'); do
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n 1 | grep -qi 'kvsoak.kelvasync\.exe$' || continue
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && { echo "$pid"; return 0; }
  done
  return 1
}
cycles_done() { grep -acF -- 'Quantidade de usuarios encontrados no Grupo' "$log" 2>/dev/null; }

if [ "$mode" = bench ]; then
  cp "$bench" "$win_dir/"
  timeout 7200 wine "C:\\kvsoak\\$(basename "$bench")" "127.0.0.1:${line% *}" "cn=svc,ou=Users,$suffix" segredo \
    "CN=Soak,OU=Users,$suffix" ${KV_BENCH_ARGS:-} </dev/null >"$work/bench-out.txt"
  exit $?
fi
if [ "$mode" = service ]; then
  timeout 120 wine 'C:\kvsoak\kelvasync.exe' -i >"$work/install.txt" 2>&1 </dev/null || { cat "$work/install.txt"; exit 1; }
  timeout 120 wine sc start kelvasync >"$work/start.txt" 2>&1 </dev/null || { cat "$work/start.txt"; exit 1; }
else
  timeout $((cycles * 10 + 600)) wine 'C:\kvsoak\kelvasync.exe' -c </dev/null >/dev/null 2>&1 &
  winpid=$!
  pids+=("$winpid")
fi
pid=""
for _ in $(seq 1 240); do pid=$(find_process) && break; sleep 0.5; done
[ -n "$pid" ] || { echo "kelvasync.exe did not start"; exit 1; }

# Samples: "cycles rss_kb fds".
echo "mode=$mode members=$members cycles=$cycles pid=$pid"
printf '%8s %10s %5s\n' cycles rss_kb fds
next=0 last=0 changed=$SECONDS failed=0
: >"$work/samples"
while :; do
  done_now=$(cycles_done)
  done_now=${done_now:-0}
  if [ "$done_now" -ge "$next" ]; then
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    [ -n "$rss" ] || { echo "kelvasync.exe ended after $done_now cycles"; failed=1; break; }
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    printf '%8d %10d %5d\n' "$done_now" "$rss" "$fds" | tee -a "$work/samples"
    next=$((next + every))
    [ "$done_now" -ge "$cycles" ] && break
  fi
  [ "$done_now" = "$last" ] || { last=$done_now; changed=$SECONDS; }
  [ $((SECONDS - changed)) -gt 120 ] && { echo "no cycle ended within 120 s (at $done_now)"; failed=1; break; }
  sleep 0.2
done
if grep -aq '\[Erro\]' "$log"; then echo "the log holds Erro lines:"; grep -a '\[Erro\]' "$log" | head -5; failed=1; fi

growth=$(awk -v warmup="$warmup" '$1 >= warmup { n++; c[n] = $1; r[n] = $2 }
  END {
    if (n < 2) { print "none"; exit }
    low = r[1]; for (i = 1; i <= n; i++) if (r[i] < low) low = r[i]
    high = 0; for (i = n - int((n - 1) / 4); i <= n; i++) if (r[i] > high) high = r[i]
    printf "%d %d %d", high - low, c[n] - c[1], low
  }' "$work/samples")
if [ "$failed" -eq 0 ] && [ "$growth" = none ]; then echo "too few samples after the warm-up"; failed=1; fi
if [ "$failed" -eq 0 ]; then
  set -- $growth
  echo "RSS growth after cycle $warmup: $1 KB over $2 cycles (bound $max_kb KB)"
  [ "$1" -le "$max_kb" ] || { echo "FAIL: RSS grew more than $max_kb KB"; failed=1; }
fi
exit $failed

#!/usr/bin/env bash
# Whole update cycles of the unmodified Windows kelvasync.exe under Wine, each
# beside a run of the Linux kelvasync built from the same source, over an
# identical directory (a slapd of its own, loaded from directory.ldif) and
# identical HSM seeds (an hsm-emulator of its own), and then the two compared:
# the HSM's users with their blocked flags, the addb and addb_backup bytes,
# and the log lines once time stamp and thread identifier are masked.
#
#   cycles.sh <kelvasync.exe> <pelorlib.dll> <kvtest-adsi.dll> <Linux build folder> [adsi_provider_test.exe]
#
# The Windows program reads the directory through the test ADSI provider
# (adsi_provider.cpp), registered as the LDAP provider in the test prefix
# only and unregistered at the end; the provider must report no live object
# whenever it is unloaded. Its own contract test runs first, when given. Runs:
#   service   -i, sc start, two cycles (the first after the real 10 s pause;
#             a member leaves the group between them), sc stop, -d; on Linux
#             service mode under a notification socket, stopped with SIGTERM
#   console   -c, one cycle, Ctrl+C
#   faults    wrong bind password, server down, a group path naming a user,
#             a stop during the first pass (a slow HSM), a member the account
#             may not read, each in console mode
#   failover  a list of two domain controllers in host whose first is down:
#             both programs skip it, naming why, and read from the second
#   secrets   --once cycles with usr and pwd empty (a bind as the service's
#             own account, taken by the provider only when configured) and
#             with the HSM password sealed by kelvasync-passwd.exe --dpapi;
#             a blob not sealed on this machine is refused with its line
#   hidden    reads that look complete and are not, with removeusers=yes,
#             each over a slapd of its own whose access rules hide from the
#             account the group's whole member attribute, one value of it,
#             or one member's objectClass
#   held      single cycles (--once) in a row on HSMs carried over from one
#             to the next: complete reads, then reads with a member not read
#             and empty reads (member and memberOf hidden; removeusers block,
#             yes, no), which must leave the HSM users, addb and addb_backup
#             as the last complete read left them; then a complete one again
#   silent    a stop while the directory takes the bind and never answers,
#             in console and in service mode
#   stalled   a server that answers StartTLS and never the handshake: with
#             no stop asked, each cycle fails at the provider's bound (and
#             the Linux program's) and the next one runs, in console mode
#   large     a group of 2,000 members (x64 only), and with KV_WINE_BIG=1 one
#             of 20,000, each through one whole cycle in console mode; the
#             time of each side's cycle is printed
#
# The provider talks plain LDAP on loopback unless KVTEST_LDAP_TRANSPORT
# names another transport (starttls, ldaps): Wine's wldap32 cannot read a
# large answer over TLS. The slapds therefore take binds in clear on
# loopback (the Linux program still uses StartTLS).
set -uo pipefail
exe=$1 pelorlib=$2 provider=$3 host_build=$4 provider_test=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
linux_bin=$host_build/src/service/kelvasync
emulator=$host_build/emulator/hsm-emulator
passwd_tool=$host_build/tools/passwd/kelvasync-passwd
for f in "$linux_bin" "$emulator" "$passwd_tool"; do
  [ -x "$f" ] || { echo "missing $f: build the Linux preset first (cmake --build build/linux)"; exit 1; }
done
prefix=$("$root/scripts/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d /tmp/kv-cycles-XXXXXX)
suffix="dc=kelvasync,dc=test"
group="CN=Tessel,OU=Groups,$suffix"
failures=0
pids=()

check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
hsm_id() { printf 'A%s' "$(printf '%s' "$1" | md5sum | cut -c2-15)"; }
encrypt() { printf '%s' "$1" | "$passwd_tool"; }
count_in() { if [ -f "$1" ]; then tr -d '\r' <"$1" | grep -acF -- "$2"; else echo 0; fi; }
wait_count() {  # wait_count <file> <text> <count> <seconds>
  local end=$((SECONDS + $4))
  while [ "$(count_in "$1" "$2")" -lt "$3" ]; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.5
  done
}
wait_quiet() {  # wait_quiet <file>: until the file has not grown for 4 s (at most 60 s)
  local size last=-1 still=0 end=$((SECONDS + 60))
  while [ $still -lt 8 ] && [ $SECONDS -lt $end ]; do
    size=$(stat -c %s "$1" 2>/dev/null || echo 0)
    if [ "$size" = "$last" ]; then still=$((still + 1)); else still=0; last=$size; fi
    sleep 0.5
  done
}

# --------------------------------------------------------------- servers
leaver=$(hsm_id ex-funcionario)
ana=$(hsm_id asouza)

start_slapd() {  # start_slapd <name> [slapd access rules placed before the built-in ones]
  mkdir -p "$work/$1"
  local line
  line=$(SLAPD_EXTRA_ACCESS=${2:-} "$root/scripts/start-slapd.sh" "$work/$1/slapd" "$here/directory.ldif" $$) ||
    return 1
  echo "${line% *}" >"$work/$1/slapd.port"
  echo "${line#* }" >"$work/$1/slapd.pid"
}
modify_group() {  # modify_group <name> add|delete <attribute> <value>: Tessel changed by the manager
  printf 'dn: %s\nchangetype: modify\n%s: %s\n%s: %s\n' "$group" "$2" "$3" "$3" "$4" |
    LDAPTLS_CACERT="$work/$1/slapd/ca.pem" ldapmodify -ZZ -x -H "ldap://127.0.0.1:$(cat "$work/$1/slapd.port")" \
      -D "cn=admin,$suffix" -w admin >/dev/null
}
change_group() {  # change_group <name> add|delete <user cn>: the user joins or leaves Tessel
  modify_group "$1" "$2" member "cn=$3,ou=Users,$suffix"
}
# The same change on the directories of both service runs.
change_both() { change_group win-svc "$1" "$2" && change_group lnx-svc "$1" "$2"; }
# The same seeds on every HSM: the owner of addb, a former member's user
# (removed or blocked by the service), a hand-made account the service never
# touches, and one member's user blocked by hand (unblocked by the service).
# With HSM_FROM=<run>, the HSM starts instead from the state in which the
# same side's HSM of that run was stopped (win-<run> for win-<name>).
start_hsm() {  # start_hsm <name> [latency ms]
  local state=$work/$1/hsm
  mkdir -p "$work/$1"
  if [ -n "${HSM_FROM:-}" ]; then
    cp -a "$work/${1%%-*}-$HSM_FROM/hsm" "$state" || return 1
  else
    {
      "$emulator" init --state "$state" --master-password kv-master-1 &&
        "$emulator" add-user --state "$state" --name IntegracaoAD --password 73905162 &&
        "$emulator" add-user --state "$state" --name "$leaver" --password pw-leaver &&
        "$emulator" add-user --state "$state" --name admin --password pw-admin &&
        "$emulator" add-user --state "$state" --name "$ana" --password pw-ana --blocked
    } >"$work/$1/hsm-admin.log" 2>&1 || { cat "$work/$1/hsm-admin.log"; return 1; }
  fi
  "$emulator" serve --state "$state" --port 0 --port-file "$work/$1/hsm.port" --latency-ms "${2:-0}" \
    </dev/null >"$work/$1/hsm.log" 2>&1 &
  echo $! >"$work/$1/hsm.pid"
  pids+=($!)
  for _ in $(seq 1 100); do [ -s "$work/$1/hsm.port" ] && return 0; sleep 0.1; done
  echo "hsm-emulator $1 did not start"; cat "$work/$1/hsm.log"; return 1
}
# Stops the emulator and writes what it holds: users with flags, addb, addb_backup.
hsm_state() {  # hsm_state <name>
  local pid state=$work/$1/hsm
  pid=$(cat "$work/$1/hsm.pid")
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  "$emulator" list-users --state "$state" >"$work/$1/users.txt"
  for object in addb addb_backup; do
    "$emulator" show-object --state "$state" --name "IntegracaoAD/$object" >"$work/$1/$object.bin" 2>/dev/null ||
      echo "<missing>" >"$work/$1/$object.bin"
  done
}
write_ini() {  # write_ini <file> <run name> <interval minutes> [key=value overrides...]
  local file=$1 name=$2 interval=$3
  shift 3
  local host="127.0.0.1:$(cat "$work/$name/slapd.port" 2>/dev/null)" grp=$group remove=block
  local usr="cn=svc,ou=Users,$suffix" adpwd hsmpwd
  adpwd=$(encrypt segredo) hsmpwd=$(encrypt kv-master-1)
  for pair in "$@"; do
    case $pair in
      host=*) host=${pair#host=} ;;
      pwd=*) adpwd=$(encrypt "${pair#pwd=}") ;;
      usr=*) usr=${pair#usr=} ;;              # as written
      adpwd=*) adpwd=${pair#adpwd=} ;;        # the directory's pwd value as written
      hsmpwd=*) hsmpwd=${pair#hsmpwd=} ;;     # the HSM's pwd value as written
      group=*) grp=${pair#group=} ;;
      removeusers=*) remove=${pair#removeusers=} ;;
    esac
  done
  mkdir -p "$(dirname "$file")/data"
  printf '[activedirectory]\r\nhost=%s\r\nusr=%s\r\npwd=%s\r\ngroup=%s\r\nupdatefrequencyinminutes=%s\r\n[hsm]\r\nhost=127.0.0.1:%s\r\nusr=master\r\npwd=%s\r\nremoveusers=%s\r\n' \
    "$host" "$usr" "$adpwd" "$grp" "$interval" "$(cat "$work/$name/hsm.port")" "$hsmpwd" "$remove" >"$file"
}

# --------------------------------------------------------------- the two programs
win_product="$prefix/drive_c/Program Files (x86)/Karvell Networks/HSM Karvell"
win_log="$win_product/data/kelvasync.log"
# Each Windows run starts as its Linux twin does in a folder of its own: with
# none of the files the service keeps from one run to the next (the log, the
# status and metrics, the users it blocked).
win_fresh() { rm -f "$win_product/data/"*; }
win_dir="$prefix/drive_c/kvcycles"
mkdir -p "$win_dir"
cp "$exe" "$pelorlib" "$provider" "$win_dir/"
provider_dll='C:\kvcycles\'$(basename "$provider")
provider_report="$win_dir/$(basename "$provider").objects.log"
rm -f "$provider_report"
wine_run() { timeout 120 wine "$@" >"$work/wine-out.txt" 2>&1 </dev/null; }

linux_product() { echo "$work/$1/linux/Karvell Networks/HSM Karvell"; }
# Runs the Linux program in the background: linux_start <name> <args...>
linux_start() {
  local name=$1
  shift
  KELVASYNC_PROGRAM_FILES="$work/$name/linux" LDAPTLS_CACERT="$work/$name/slapd/ca.pem" \
    "$linux_bin" "$@" </dev/null >"$work/$name/linux-out.txt" 2>&1 &
  echo $! >"$work/$name/linux.pid"
  pids+=($!)
}
linux_stop() {  # linux_stop <name> <signal> (0: only wait for the program's end)
  local pid
  pid=$(cat "$work/$1/linux.pid")
  kill "-$2" "$pid" 2>/dev/null
  for _ in $(seq 1 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
  wait "$pid"
}

# A log made comparable: each thread identifier becomes T1, T2... in the order
# the threads first write, and the lines are grouped by thread, each thread's
# in their own order (how two threads' lines interleave is left to the
# scheduler). The stop control's first three lines form a group of their own
# (TC): Windows and our Linux dispatcher run the control handler on the main
# thread, Wine on a thread of its own. Time stamps are dropped; the directory's own words after a
# failure message (system text on Windows, libldap's on Linux) become a
# marker; the servers' ports (each run has its own) too.
masked() {
  tr -d '\r' <"$1" |
    awk '{
      if (match($0, /^[0-9][0-9]\/[0-9][0-9]\/[0-9][0-9][0-9][0-9] [0-9:]+ \[[0-9a-fA-F]+\] /)) {
        head = substr($0, 1, RLENGTH - 2); id = substr(head, index(head, "[") + 1)
        text = substr($0, RLENGTH + 1)
        if (text == "[Info] Inicio da requisicao para termino do servico") { control = id; left = 3 }
        if (id == control && left > 0) { left--; printf "TC %06d %s\n", NR, text; next }
        if (!(id in thread)) thread[id] = "T" (++threads)
        printf "%s %06d %s\n", thread[id], NR, text
      } else printf "T0 %06d %s\n", NR, $0
    }' | LC_ALL=C sort -k1,1 -k2,2n | cut -d" " -f1,3- |
    sed -E -e 's/(\(DC\)) \(.*\)$/\1 (<erro do diretorio>)/' \
      -e 's/^(T[0-9]+ \[Atencao\] Nao foi possivel [^(]*[^ (]) \(.*\)$/\1 (<erro do diretorio>)/' \
      -e 's/^(T[0-9]+ \[Atencao\] Controlador de Dominio \(DC\) [^ ]+ pulado: [^(]*[^ (]) \(.*\)$/\1 (<erro do diretorio>)/' \
      -e 's/(nao puderam ser lidos)(: .*)?\. (Enquanto houver membros sem leitura)/\1<nomes>. \3/' \
      -e 's/127\.0\.0\.1:[0-9]+/127.0.0.1:<porta>/g'
}
compare_logs() {  # compare_logs <name> <windows log copy>
  masked "$2" >"$work/$1/windows.masked"
  masked "$(linux_product "$1")/data/kelvasync.log" >"$work/$1/linux.masked"
  if ! diff -u "$work/$1/linux.masked" "$work/$1/windows.masked" >"$work/$1/log.diff"; then
    cat "$work/$1/log.diff"
    return 1
  fi
}
compare_hsm() {  # compare_hsm <windows name> <linux name>
  local ok=0
  for f in users.txt addb.bin addb_backup.bin; do
    if ! cmp -s "$work/$1/$f" "$work/$2/$f"; then
      echo "--- $f differs (Linux $2, Windows $1):"
      diff <(od -c "$work/$2/$f") <(od -c "$work/$1/$f") | head -20
      ok=1
    fi
  done
  return $ok
}

cleanup() {
  # A run cut short may leave the service running: stop it before removing it.
  wine_run sc stop kelvasync
  wine_run "C:\\kvcycles\\kelvasync.exe" -d
  timeout 60 wine regsvr32 /u /s "$provider_dll" >/dev/null 2>&1 </dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for f in "$work"/*/slapd.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
  if [ "$failures" -ne 0 ] && [ "${KV_KEEP_WORK:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
  rm -rf "$win_dir"
}
trap cleanup EXIT

# --------------------------------------------------------------- transport
# Wine gives every process the variables of the prefix's Session Manager
# environment, over those of the shell, and services.exe builds the
# environment of every service from there once per Wine session: a changed
# value is written and the session restarted before any service starts.
transport=${KVTEST_LDAP_TRANSPORT:-plain}
export KV_SLAPD_ANY_TRANSPORT=1
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
timeout 60 wine reg query "$env_key" /v KVTEST_LDAP_TRANSPORT >"$work/reg.txt" 2>&1 </dev/null
if ! tr -d '\r' <"$work/reg.txt" | grep -qE "REG_SZ +$transport\$"; then
  timeout 60 wine reg add "$env_key" /v KVTEST_LDAP_TRANSPORT /d "$transport" /f >"$work/reg.txt" 2>&1 </dev/null
  check "the provider's transport is set in the prefix" test $? -eq 0
  timeout 60 wineserver -k
  timeout 60 wineserver -w
  "$root/scripts/wine-prefix.sh" >/dev/null || exit 1
fi
echo "provider transport: $transport"
# A server that answers nothing but the binds of "cn=answered", for the
# provider's time-outs; it notes each bind, search and abandon in silent.log
# after the number of its connection (in the order they were accepted: the
# threads of two connections may note their requests in either order). It
# answers StartTLS with success and then never answers the handshake; it
# never closes such a connection either (once the peer closes, Wine 8's
# wldap32 spins in its handshake and still never returns).
python3 -c 'import socket,sys,threading
def serve(c,k):
    log=open(sys.argv[2],"a",buffering=1)
    while True:
        d=c.recv(65536)
        if len(d)<8: return
        i=2+(d[1]&0x7f if d[1]&0x80 else 0); n=d[i+1]; op=d[i+2+n]
        if op in (0x60,0x63,0x50): log.write("%d %s\n" % (k,{0x60:"bind",0x63:"search",0x50:"abandon"}[op]))
        if op==0x77:
            body=bytes([2,n])+d[i+2:i+2+n]+bytes([0x78,0x1f,10,1,0,4,0,4,0,0x8a,0x16])+b"1.3.6.1.4.1.1466.20037"
            c.sendall(bytes([0x30,len(body)])+body)
            while c.recv(65536): pass
            return
        if op==0x60 and b"cn=answered" in d:
            body=bytes([2,n])+d[i+2:i+2+n]+bytes([0x61,7,10,1,0,4,0,4,0]); c.sendall(bytes([0x30,len(body)])+body)
s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(8)
open(sys.argv[1],"w").write(str(s.getsockname()[1]))
k=0
while True: k+=1; threading.Thread(target=serve,args=(s.accept()[0],k),daemon=True).start()' \
  "$work/silent.port" "$work/silent.log" </dev/null >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -s "$work/silent.port" ] && break; sleep 0.1; done

timeout 60 wine regsvr32 /s "$provider_dll" >"$work/regsvr.txt" 2>&1 </dev/null
check "the test provider registers in the prefix" test $? -eq 0
wine_run "C:\\kvcycles\\kelvasync.exe" -d  # leftovers of an interrupted run

# --------------------------------------------------------------- service mode
for side in win-svc lnx-svc; do
  start_slapd "$side" && start_hsm "$side" || { echo "set-up failed"; exit 1; }
done
if [ -n "$provider_test" ]; then
  cp "$provider_test" "$win_dir/"
  reported=$(cat "$provider_report" 2>/dev/null | wc -l)
  KVTEST_LDAP_SERVER="127.0.0.1:$(cat "$work/win-svc/slapd.port")" \
    KVTEST_LDAPS_SERVER="127.0.0.1:$(cat "$work/win-svc/slapd/ldaps.port")" \
    KVTEST_SILENT_SERVER="127.0.0.1:$(cat "$work/silent.port")" timeout 120 \
    wine "C:\\kvcycles\\$(basename "$provider_test")" >"$work/provider-test.txt" 2>&1 </dev/null
  code=$?
  [ "$code" -eq 0 ] || tr -d '\r' <"$work/provider-test.txt"
  check "the provider's own contract" test "$code" -eq 0
  # Its last case leaves a StartTLS call stuck, with its connection, as the
  # process ends (the test checks in-process that nothing else is alive):
  # that unload's report is left out of the leak check.
  [ -f "$provider_report" ] && head -n "$reported" "$provider_report" >"$work/report.txt" &&
    cp "$work/report.txt" "$provider_report"
  # The silent server saw: on one connection an unanswered bind given up,
  # on the next an answered bind whose search was given up.
  check "its time-outs abandon the bind and the search" grep -qx "1 bind 1 abandon 2 bind 2 search 2 abandon" \
    <(sort -s -n -k1,1 "$work/silent.log" | tr '\n' ' ' | sed 's/ $//')
fi
# The cycles run without the unreadable member, which would spare every HSM
# user (it has a fault run of its own below).
check "the unreadable member leaves the group" change_both delete Oculto
write_ini "$win_product/kelvasync.ini" win-svc 1
win_fresh
write_ini "$(linux_product lnx-svc)/kelvasync.ini" lnx-svc 1
lnx_log="$(linux_product lnx-svc)/data/kelvasync.log"

# systemd's notification socket, played by a datagram socket that only listens.
notify="$work/notify.sock"
python3 -c 'import socket,sys,time
s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.bind(sys.argv[1])
while True: s.recv(4096)' "$notify" &
pids+=($!)
for _ in $(seq 1 50); do [ -S "$notify" ] && break; sleep 0.1; done
NOTIFY_SOCKET=$notify linux_start lnx-svc
wine_run "C:\\kvcycles\\kelvasync.exe" -i
check "service installed" grep -q "Servico instalado com sucesso." "$work/wine-out.txt"
wine_run sc start kelvasync
check "Windows service started" wait_count "$win_log" "Notificacao para continuar o servico recebida" 1 30 ||
  cat "$work/wine-out.txt"

check "Windows service: first cycle" wait_count "$win_log" "Inicio cruzamento" 1 90
check "Linux service: first cycle" wait_count "$lnx_log" "Inicio cruzamento" 1 90
wait_quiet "$win_log"
wait_quiet "$lnx_log"
# Bruno Lima leaves the group between the cycles, on both directories.
check "a member leaves the group" change_both delete "Bruno Lima"
check "Windows service: second cycle" wait_count "$win_log" "Inicio cruzamento" 2 120
check "Linux service: second cycle" wait_count "$lnx_log" "Inicio cruzamento" 2 120
wait_quiet "$win_log"
wait_quiet "$lnx_log"
wine_run sc stop kelvasync
linux_stop lnx-svc TERM
check "Linux service exits 0" test $? -eq 0
check "Windows service stopped" wait_count "$win_log" "Log parado" 1 60
check "Linux service stopped" wait_count "$lnx_log" "Log parado" 1 10
wine_run "C:\\kvcycles\\kelvasync.exe" -d
check "service removed" grep -q "Servico desinstalado com sucesso." "$work/wine-out.txt"
cp "$win_log" "$work/win-svc/kelvasync.log"
hsm_state win-svc
hsm_state lnx-svc

# The first cycle's search starts after the real first pause (9.6 s), not at once.
first_pause() {
  tr -d '\r' <"$1" | awk '
    function at(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    /Atualizacao do HSM\/Tessel a cada/ && !start { start = at($2) }
    / \[Info\] LDAP:\/\// && start && !found { found = at($2) }
    END { if (found && found < start) found += 86400; exit !(found && found - start >= 9) }'
}
check "Windows service: the first pause lasts about 10 s" first_pause "$work/win-svc/kelvasync.log"
bruno=$(hsm_id blima)
check "the members' users exist, Ana's unblocked" \
  grep -qE "^$ana +mask=0x04f blocked=no" "$work/win-svc/users.txt"
check "the former member's user and the leaver's are blocked" bash -c \
  "grep -qE '^$bruno +mask=0x04f blocked=yes' '$work/win-svc/users.txt' && grep -qE '^$leaver .*blocked=yes' '$work/win-svc/users.txt'"
check "admin left alone" grep -qE "^admin .*blocked=no" "$work/win-svc/users.txt"
check "addb holds the members of the second cycle" bash -c "! grep -q blima '$work/win-svc/addb.bin' && grep -q asouza '$work/win-svc/addb.bin'"
check "addb_backup holds those of the first" grep -q blima "$work/win-svc/addb_backup.bin"
check "service mode: same HSM end state" compare_hsm win-svc lnx-svc
check "service mode: same log lines" compare_logs lnx-svc "$work/win-svc/kelvasync.log"

# --------------------------------------------------------------- console mode and faults
# console_pair <name> <text> <count> [ini overrides...]: both programs in
# console mode over the service runs' directories (the same on both sides;
# DIRECTORY=<name> takes those of win-<name> and lnx-<name> instead, or the
# one slapd <name> of start_slapd that both sides then read) and fresh HSMs,
# stopped with Ctrl+C (SIGINT) once <text> has appeared <count> times in
# each log (within WAIT seconds, 90 unless given). LATENCY slows every HSM
# answer; INTERVAL is the pause between cycles in minutes (1). With
# ONCE=<exit code>, both run one cycle with --once instead (no first pause,
# no Ctrl+C: the run ends by itself once <text> is there) and each must end
# with that code.
console_pair() {
  local name=$1 text=$2 count=$3 win=win-$1 lnx=lnx-$1 winpid code ok=0 directory=${DIRECTORY:-svc} wait=${WAIT:-90}
  local mode=-c stop=INT stopped=Ctrl+C expected=${ONCE:-0}
  [ -n "${ONCE:-}" ] && mode=--once stop=0 stopped="its cycle"
  local win_dir=win-$directory lnx_dir=lnx-$directory
  if [ -n "${DIRECTORY:-}" ] && [ -f "$work/$DIRECTORY/slapd.port" ]; then win_dir=$DIRECTORY lnx_dir=$DIRECTORY; fi
  shift 3
  start_hsm "$win" "${LATENCY:-0}" && start_hsm "$lnx" "${LATENCY:-0}" || return 1
  write_ini "$win_product/kelvasync.ini" "$win" "${INTERVAL:-1}" \
    "host=127.0.0.1:$(cat "$work/$win_dir/slapd.port")" "$@"
  write_ini "$(linux_product "$lnx")/kelvasync.ini" "$lnx" "${INTERVAL:-1}" \
    "host=127.0.0.1:$(cat "$work/$lnx_dir/slapd.port")" "$@"
  win_fresh
  # Under timeout, whose child takes SIGINT (a background job of a script
  # would ignore it) and which hands Ctrl+C on to the program.
  timeout $((wait + 300)) wine 'C:\kvcycles\kelvasync.exe' "$mode" </dev/null >"$work/$win/console.txt" 2>&1 &
  winpid=$!
  pids+=("$winpid")
  [ "$lnx_dir" = "$lnx" ] || {  # for LDAPTLS_CACERT
    mkdir -p "$work/$lnx/slapd" && cp "$work/$lnx_dir/slapd/ca.pem" "$work/$lnx/slapd/"
  }
  linux_start "$lnx" "$mode"
  # Each step's time is counted from the program's own start: Wine's
  # start-up (start.exe, then the program) can take a minute on a loaded
  # machine, and a Ctrl+C sent because that minute was charged to the step
  # stops the program in its first pause, before it binds.
  local started=$SECONDS
  if ! wait_count "$win_log" "Variaveis inicializadas" 1 240; then
    echo "$win: not started after 240 s"
    ok=1
  else
    [ $((SECONDS - started)) -le 20 ] || echo "$win: started $((SECONDS - started)) s after launch"
    if ! wait_count "$win_log" "$text" "$count" "$wait"; then
      echo "$win: no '$text' within $wait s of its start ($((SECONDS - started)) s after launch)"
      ok=1
    fi
  fi
  wait_count "$(linux_product "$lnx")/data/kelvasync.log" "$text" "$count" "$wait" || { echo "$lnx: no '$text'"; ok=1; }
  kill "-$stop" "$winpid" 2>/dev/null
  linux_stop "$lnx" "$stop"
  code=$?
  [ "$code" -eq "$expected" ] || { echo "$lnx: exit code $code"; ok=1; }
  for _ in $(seq 1 60); do kill -0 "$winpid" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$winpid" 2>/dev/null; then
    echo "$win: still running 30 s after $stopped"
    ok=1
  fi
  # timeout's child is start.exe, which returns once the program's process
  # has ended for Wine; the program's own Unix process (in the same process
  # group) may take a moment longer. Nothing of this run may outlive it: a
  # program left behind would write its stop lines into the next run's log.
  local left
  for _ in $(seq 1 20); do
    left=$(ps -eo pgid=,pid=,args= | awk -v g="$winpid" '$1 == g && /kvcycles/ { print $2 }')
    [ -z "$left" ] && break
    sleep 0.5
  done
  if [ -n "$left" ]; then
    echo "$win: processes left 10 s after $stopped: $(echo $left)"
    kill -KILL $left 2>/dev/null
    ok=1
  fi
  wait "$winpid"
  code=$?
  [ "$code" -eq "$expected" ] || { echo "$win: exit code $code"; ok=1; }
  cp "$win_log" "$work/$win/kelvasync.log"
  hsm_state "$win"
  hsm_state "$lnx"
  compare_hsm "$win" "$lnx" || ok=1
  compare_logs "$lnx" "$work/$win/kelvasync.log" || ok=1
  return $ok
}
separator=-----------------------------------------------------------------------
check "console mode, one cycle, Ctrl+C: both agree" console_pair console "$separator" 1
check "console mode ends with Log parado" grep -q "\[Info\] Log parado" "$work/win-console/console.txt"
check "console run lists the members" grep -qF "membros: [Ana Souza] [asouza]" "$work/win-console/console.txt"

check "wrong bind password: both agree" console_pair badpwd "Nao foi possivel conectar no Controlador" 1 pwd=errada
check "wrong bind password: 0x8007052E" grep -q "Controlador de Dominio (DC) (0x8007052E" "$work/win-badpwd/kelvasync.log"
check "server down: both agree" console_pair down "Nao foi possivel conectar no Controlador" 1 host=127.0.0.1:1
check "server down: 0x8007203A" grep -q "Controlador de Dominio (DC) (0x8007203A" "$work/win-down/kelvasync.log"
# A list of two domain controllers whose first is down: both programs skip
# it with one line naming it and its cause, and read the group from the
# second, which they name.
check "failover: a directory of its own" eval 'start_slapd dir-failover && change_group dir-failover delete Oculto'
failover_host="host=127.0.0.1:1 127.0.0.1:$(cat "$work/dir-failover/slapd.port" 2>/dev/null)"
DIRECTORY=dir-failover check "a list whose first DC is down reads from the second: both agree" \
  console_pair failover "$separator" 1 "$failover_host"
check "... the first DC skipped with its cause, the second named as the DC read" bash -c "
  grep -aq 'Controlador de Dominio (DC) 127.0.0.1:1 pulado: nao foi possivel conectar (0x8007203A' '$work/win-failover/kelvasync.log' &&
  grep -aq 'Controlador de Dominio (DC) lido: ${failover_host##* }' '$work/win-failover/kelvasync.log' &&
  grep -aqE '^$leaver .*blocked=yes' '$work/win-failover/users.txt'"
check "group path naming a user: both agree" console_pair notgroup "Grupo de pesquisa" 1 \
  "group=CN=Ana Souza,OU=Users,$suffix"
check "group path naming a user: E_NOINTERFACE" grep -q "Grupo de pesquisa (0x80004002" "$work/win-notgroup/kelvasync.log"
LATENCY=600 check "a stop during the first pass: both agree" console_pair stop "Inicio cruzamento" 1
# Honoured inside the first pass: the last member is not created, and the
# second pass (which would block the former member's user) does not run.
check "the stop came during the first pass" bash -c "! grep -q '^$(hsm_id $'em\xfcller') ' '$work/win-stop/users.txt' &&
  grep -qE '^$leaver .*blocked=no' '$work/win-stop/users.txt'"
# --------------------------------------------------------------- no reusable secret in the INI
# The Windows program alone (the Linux one has tests of its own ways): a bind
# as the service's own account (usr and pwd empty), which the test provider
# takes only when the test names the entry that stands for that account, and
# the HSM password sealed with DPAPI by kelvasync-passwd.exe --dpapi.
win_once() {  # win_once <name> <exit code> [ini overrides...]: one --once cycle
  local name=win-$1 expected=$2 code
  shift 2
  start_hsm "$name" || return 1
  write_ini "$win_product/kelvasync.ini" "$name" 1 "host=127.0.0.1:$(cat "$work/win-svc/slapd.port")" "$@"
  win_fresh
  timeout 240 wine 'C:\kvcycles\kelvasync.exe' --once </dev/null >"$work/$name/console.txt" 2>&1
  code=$?
  cp "$win_log" "$work/$name/kelvasync.log"
  hsm_state "$name"
  [ "$code" -eq "$expected" ] || { echo "$name: exit code $code, expected $expected"; return 1; }
}
cp "$(dirname "$exe")/kelvasync-passwd.exe" "$win_dir/"
sealed=$(printf 'kv-master-1\n' | timeout 120 wine 'C:\kvcycles\kelvasync-passwd.exe' --dpapi 2>/dev/null | tr -d '\r')
check "kelvasync-passwd --dpapi seals the HSM password" test "${sealed#dpapi:}" != "$sealed"
KVTEST_SERVICE_ACCOUNT="cn=svc,ou=Users,$suffix" KVTEST_SERVICE_PASSWORD=segredo \
  check "own account and a DPAPI-sealed HSM password: a whole cycle" win_once secrets 0 usr= adpwd= "hsmpwd=$sealed"
check "... reads the group and logs in to the HSM" grep -q "^$ana .*blocked=no" "$work/win-secrets/users.txt"
check "own account not taken: the bind fails" win_once noaccount 2 usr= adpwd=
check "... with the bind's line" grep -q "Controlador de Dominio (DC) (0x8007052E" "$work/win-noaccount/kelvasync.log"
# Wine's DPAPI keys a blob to the Unix user's name alone, so another prefix
# would open it; a blob whose check value does not match stands in for one
# sealed elsewhere (Windows refuses both alike).
at=$((${#sealed} - 8))
other=${sealed:0:at}$([ "${sealed:at:1}" = A ] && echo B || echo A)${sealed:at+1}
check "a blob that is not this machine's: refused (a configuration gap)" win_once foreign 1 "hsmpwd=$other"
check "... with its own line" grep -q "nao pode ser obtida: a senha selada (dpapi:) nao pode ser aberta" \
  "$work/win-foreign/kelvasync.log"

# --------------------------------------------------------------- an unreadable member
check "an unreadable member joins the group" change_both add Oculto
# The stop waits for the cycle's summary: the directory read names the
# unreadable members too, and a Ctrl+C sent on that line would cut pass 1
# short on whichever side was slower.
check "an unreadable member: both agree" console_pair unreadable "Resumo do cruzamento" 1
check "an unreadable member spares the former member's user" \
  grep -qE "^$leaver .*blocked=no" "$work/win-unreadable/users.txt"

# --------------------------------------------------------------- reads that look complete
# A group read that hides part of the group from the account must not cost
# anyone an HSM user: each hidden member counts as one that could not be
# read (the cross-check against memberOf finds those the member values did
# not name), and the removal pass is skipped. hidden_run <name> <members not
# read> <access rule>: a slapd of its own with the rule, read by both
# programs with removeusers=yes.
account="cn=svc,ou=Users,$suffix"
# hidden_from_account <what>...: one access rule for each <what> of slapd's
# "access to <what>" that hides it from the service account alone.
hidden_from_account() {
  local what
  for what; do printf '%s by dn.exact="%s" none by * break\n' "$what" "$account"; done
}
hidden_run() {
  start_slapd "dir-$1" "$(hidden_from_account "$3")" || return 1
  DIRECTORY=dir-$1 console_pair "$1" "Resumo do cruzamento" 1 removeusers=yes || return 1
  grep -qF "[Atencao] $2 membro(s) do Grupo nao puderam ser lidos; nenhum usuario do HSM/Tessel foi bloqueado ou removido" \
    "$work/win-$1/kelvasync.log" || { echo "win-$1: no line for $2 member(s) not read"; return 1; }
  # The former member's user stays, and so does every other seed.
  grep -qE "^$leaver .*blocked=no" "$work/win-$1/users.txt" && grep -qE "^$ana " "$work/win-$1/users.txt"
}
# The whole member attribute: the group reads empty; memberOf names all six
# entries the account may see (cn=Oculto stays out of its sight).
check "member attribute hidden: nobody removed, both agree" hidden_run nomember 6 \
  "access to dn.exact=\"$group\" attrs=member"
# One value (Ana Souza's): she is missing from the list, her memberOf is not;
# cn=Oculto is the second member not read.
check "one member value hidden: nobody removed, both agree" hidden_run novalue 2 \
  "access to dn.exact=\"$group\" attrs=member val.exact=\"cn=Ana Souza,ou=Users,$suffix\""
# Bruno Lima's objectClass: he may be a user, so he is not read, not "not a user".
check "one member's objectClass hidden: nobody removed, both agree" hidden_run noclass 2 \
  "access to dn.exact=\"cn=Bruno Lima,ou=Users,$suffix\" attrs=objectClass"

# --------------------------------------------------------------- incomplete reads in a row
# A cycle whose read was not complete keeps the stored member list: it
# neither writes addb nor moves it to addb_backup, however many such cycles
# follow each other; and a read that finds no member while managed users
# exist blocks and removes nobody, whatever removeusers says, and ends as a
# directory failure. Single cycles (--once) one after the other over one
# slapd, each on the HSMs the one before left, both sides compared after
# each: two complete reads store addb and addb_backup (different lists);
# then two reads with a member the account may not read (cn=Oculto back in
# the group while Ana Souza leaves, so that the list read differs from the
# stored one) and three empty reads (the group's member attribute hidden;
# removeusers block, yes and no) must leave every HSM user and the addb and
# addb_backup bytes as the second complete read left them. A last complete
# read saves again: the kept list becomes addb_backup.
# memberOf is hidden from the account throughout, so that the cross-check
# finds nobody and a hidden member attribute reads as an empty group (not as
# members not read); the complete reads name every member in `member`, and
# the Linux side reads each by its DN. The member attribute is hidden while
# the group's description is "vazio".
held_last=
held_run() {  # held_run <run> <exit code of both> [ini overrides...]
  local ok=0
  HSM_FROM=$held_last DIRECTORY=dir-held ONCE=$2 console_pair "$1" "Log parado" 1 "${@:3}" || ok=1
  held_last=$1
  return $ok
}
# held_kept <run> <line>...: on both sides, the HSM users, addb and
# addb_backup are those held2 left, and each <line> is in the log once.
held_kept() {
  local run=$1 side f line ok=0
  shift
  for side in win lnx; do
    for f in users.txt addb.bin addb_backup.bin; do
      cmp -s "$work/$side-held2/$f" "$work/$side-$run/$f" && continue
      echo "$side-$run: $f is not as the last complete read left it:"
      diff <(od -c "$work/$side-held2/$f") <(od -c "$work/$side-$run/$f") | head -10
      ok=1
    done
  done
  for line; do
    for f in "$work/win-$run/kelvasync.log" "$(linux_product "lnx-$run")/data/kelvasync.log"; do
      [ "$(count_in "$f" "$line")" -eq 1 ] || { echo "$run: not once in $f: $line"; ok=1; }
    done
  done
  return $ok
}
kept_line="[Atencao] A leitura do Grupo nao foi completa; a lista de membros guardada no HSM/Tessel ('addb' e 'addb_backup') foi mantida como estava"
check "held-back reads: a directory of their own" start_slapd dir-held "$(hidden_from_account \
  "access to dn.exact=\"$group\" filter=(description=vazio) attrs=member" "access to attrs=memberOf")"
check "held-back reads: the unreadable member leaves the group" change_group dir-held delete Oculto
check "a complete read: both agree" held_run held1 0
check "a member leaves the group" change_group dir-held delete "Bruno Lima"
check "a second complete read: both agree" held_run held2 0
check "it stored two lists and unblocked the members' users" bash -c "
  grep -q blima '$work/win-held2/addb_backup.bin' && ! grep -q blima '$work/win-held2/addb.bin' &&
  grep -q asouza '$work/win-held2/addb.bin' && grep -qE '^$ana +mask=0x04f blocked=no' '$work/win-held2/users.txt'"
check "an unreadable member joins, a member leaves" eval \
  'change_group dir-held add Oculto && change_group dir-held delete "Ana Souza"'
check "a read with a member not read, removeusers=yes: both agree" held_run held3 2 removeusers=yes
check "it kept the stored lists and every HSM user, and said so" held_kept held3 "$kept_line" \
  "[Atencao] 1 membro(s) do Grupo nao puderam ser lidos; nenhum usuario do HSM/Tessel foi bloqueado ou removido"
check "the same read again, removeusers=no: both agree" held_run held4 2 removeusers=no
check "it kept the stored lists and every HSM user, and said so" held_kept held4 "$kept_line"
check "the group's member attribute is hidden" modify_group dir-held add description vazio
for policy in block yes no; do
  check "an empty read, removeusers=$policy: both agree" held_run "held-$policy" 2 "removeusers=$policy"
  check "it blocked and removed nobody, kept the stored lists, and said so" held_kept "held-$policy" "$kept_line" \
    "[Atencao] Nenhum membro com identificador foi lido no Grupo e existem 5 usuario(s) do HSM/Tessel criados por este servico: nenhum foi bloqueado ou removido"
done
check "the group is readable and whole again" eval \
  'modify_group dir-held delete description vazio && change_group dir-held delete Oculto'
check "the next complete read: both agree" held_run held8 0
check "it saved again, with the kept list as addb_backup and Ana Souza's user blocked" bash -c "
  cmp -s '$work/win-held2/addb.bin' '$work/win-held8/addb_backup.bin' && ! grep -q asouza '$work/win-held8/addb.bin' &&
  grep -qE '^$ana +mask=0x04f blocked=yes' '$work/win-held8/users.txt'"

# --------------------------------------------------------------- a directory that never answers
# silent_stop console|service: the program binds to the silent server, which
# takes the connection and never answers; once the bind is under way a stop
# is asked for (Ctrl+C, sc stop). The program names the step that did not
# return and ends as a stop does, long before the provider would give up
# waiting (30 s): the stop's lines within 20 s, the process ended and, as a
# service, STOPPED. Prints how long the stop took.
silent_stop() {
  local mode=$1 binds pid asked code=0 stopped reported
  start_hsm "win-silent-$mode" || return 1
  reported=$(cat "$provider_report" 2>/dev/null | wc -l)
  write_ini "$win_product/kelvasync.ini" "win-silent-$mode" 1 "host=127.0.0.1:$(cat "$work/silent.port")"
  win_fresh
  binds=$(count_in "$work/silent.log" bind)
  if [ "$mode" = console ]; then
    timeout 300 wine 'C:\kvcycles\kelvasync.exe' -c </dev/null >"$work/silent-console.txt" 2>&1 &
    pid=$!
    pids+=("$pid")
  else
    wine_run 'C:\kvcycles\kelvasync.exe' -i && wine_run sc start kelvasync || return 1
  fi
  # The first pause (10 s) comes before the bind.
  wait_count "$work/silent.log" bind $((binds + 1)) 240 || { echo "silent-$mode: no bind"; return 1; }
  sleep 1
  asked=$SECONDS
  if [ "$mode" = console ]; then kill -INT "$pid"; else wine_run sc stop kelvasync; fi
  wait_count "$win_log" "Log parado" 1 20 || { echo "silent-$mode: no 'Log parado' 20 s after the stop"; return 1; }
  stopped=$((SECONDS - asked))
  if [ "$mode" = console ]; then
    for _ in $(seq 1 20); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -0 "$pid" 2>/dev/null && { echo "silent-console: still running"; return 1; }
    wait "$pid" || { echo "silent-console: exit code $?"; code=1; }
  else
    for _ in $(seq 1 20); do
      wine_run sc query kelvasync
      grep -q STOPPED "$work/wine-out.txt" && break
      sleep 0.5
    done
    grep -q STOPPED "$work/wine-out.txt" || { echo "silent-service: not STOPPED"; code=1; }
    wine_run 'C:\kvcycles\kelvasync.exe' -d
  fi
  echo "silent-$mode: the stop's lines $stopped s after the request"
  tr -d '\r' <"$win_log" | grep -qF "[Atencao] A etapa 'conexao ao Controlador de Dominio (DC)' do diretorio nao retornou; o servico termina sem espera-la" ||
    { echo "silent-$mode: the step that did not return is not named"; code=1; }
  for line in "Servico parado" "Variaveis finalizadas"; do
    tr -d '\r' <"$win_log" | grep -qF "[Info] $line" || { echo "silent-$mode: no '$line'"; code=1; }
  done
  cp "$win_log" "$work/win-silent-$mode/kelvasync.log"
  # The bind that never returned still holds its objects when the process
  # ends (that is the point); what the provider reported at that unload is
  # left out of the leak check at the end.
  [ -f "$provider_report" ] && head -n "$reported" "$provider_report" >"$work/report.txt" &&
    cp "$work/report.txt" "$provider_report"
  return $code
}
check "a directory that never answers: a console run stops at once" silent_stop console
check "a directory that never answers: the service stops at once" silent_stop service

# --------------------------------------------------------------- a TLS handshake that never ends
# stalled_tls: both programs in console mode, cycles back to back (interval
# 0), over the silent server, which answers StartTLS with success and then
# does not answer the handshake. The provider talks StartTLS for this run and
# waits 5 s (KVTEST_LDAP_TIMEOUT); the Linux program's bound is its network
# and operation time-outs (1 + 2 s) and its 2 s margin. With no stop asked,
# each side must fail the bind as a directory failure (Windows with
# 0x800705B4, Linux naming StartTLS) and run its next cycle, whose bind fails
# the same way within the bound and a margin; then both are stopped with
# Ctrl+C. Prints how long each side's second bind took to fail.
stalled_tls() {
  local failed="Nao foi possivel conectar no Controlador de Dominio (DC)" pid reported code=0 side log took
  local lnx_log="$(linux_product lnx-stalled)/data/kelvasync.log"
  start_hsm win-stalled && start_hsm lnx-stalled || return 1
  write_ini "$win_product/kelvasync.ini" win-stalled 0 "host=127.0.0.1:$(cat "$work/silent.port")"
  write_ini "$(linux_product lnx-stalled)/kelvasync.ini" lnx-stalled 0 "host=127.0.0.1:$(cat "$work/silent.port")"
  mkdir -p "$work/lnx-stalled/slapd" && cp "$work/lnx-svc/slapd/ca.pem" "$work/lnx-stalled/slapd/"
  win_fresh
  reported=$(cat "$provider_report" 2>/dev/null | wc -l)
  [ "$transport" = starttls ] || timeout 60 wine reg add "$env_key" /v KVTEST_LDAP_TRANSPORT /d starttls /f \
    >"$work/reg.txt" 2>&1 </dev/null || return 1
  KVTEST_LDAP_TIMEOUT=5 timeout 600 wine 'C:\kvcycles\kelvasync.exe' -c </dev/null >"$work/stalled-console.txt" 2>&1 &
  pid=$!
  pids+=("$pid")
  KELVASYNC_LDAP_NETWORK_TIMEOUT=1 KELVASYNC_LDAP_OPERATION_TIMEOUT=2 linux_start lnx-stalled -c
  # Counted from the program's own start (see console_pair): 10 s of first
  # pause, two bounds of 5 s, and a margin.
  wait_count "$win_log" "Variaveis inicializadas" 1 240 || { echo "win-stalled: not started"; code=1; }
  for log in "$win_log" "$lnx_log"; do
    wait_count "$log" "$failed" 2 60 || { echo "stalled: not two failed binds in $log"; code=1; }
  done
  [ "$transport" = starttls ] || timeout 60 wine reg add "$env_key" /v KVTEST_LDAP_TRANSPORT /d "$transport" /f \
    >"$work/reg.txt" 2>&1 </dev/null || code=1
  kill -INT "$pid"
  linux_stop lnx-stalled INT || { echo "lnx-stalled: exit code $?"; code=1; }
  for _ in $(seq 1 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
  kill -0 "$pid" 2>/dev/null && { echo "win-stalled: still running 30 s after Ctrl+C"; return 1; }
  wait "$pid" || { echo "win-stalled: exit code $?"; code=1; }
  cp "$win_log" "$work/win-stalled/kelvasync.log"
  [ "$(count_in "$work/win-stalled/kelvasync.log" "$failed (0x800705B4")" -ge 2 ] ||
    { echo "win-stalled: not two binds failed with 0x800705B4"; code=1; }
  [ "$(count_in "$lnx_log" "StartTLS: tempo limite de 5 s esgotado")" -ge 2 ] ||
    { echo "lnx-stalled: not two binds failed naming StartTLS"; code=1; }
  for side in Windows Linux; do
    log=$work/win-stalled/kelvasync.log
    [ "$side" = Linux ] && log=$lnx_log
    grep -q "\[Info\] Log parado" <(tr -d '\r' <"$log") || { echo "$side stalled: no 'Log parado'"; code=1; }
    # Seconds from the first failed bind to the second: the second cycle's
    # bind, all of it bound (the first comes after the 10 s first pause).
    took=$(tr -d '\r' <"$log" | awk -v failed="$failed" '
      function at(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
      index($0, failed) && !first { first = at($2); next }
      index($0, failed) && first && !second { second = at($2) }
      END { print second ? (second >= first ? second - first : second + 86400 - first) : -1 }')
    echo "stalled TLS, $side: the second cycle's bind failed after $took s"
    [ "$took" -ge 4 ] && [ "$took" -le 15 ] || { echo "$side stalled: not within the 5 s bound and a margin"; code=1; }
  done
  # The stalled handshakes never returned, and the provider still held their
  # connections when the process ended: that unload's report is left out of
  # the leak check.
  [ -f "$provider_report" ] && head -n "$reported" "$provider_report" >"$work/report.txt" &&
    cp "$work/report.txt" "$provider_report"
  return $code
}
check "a TLS handshake that never ends: each cycle fails at its bound, the next one runs" stalled_tls

# --------------------------------------------------------------- large groups
# big_group <members>: a group "Grande" of that many users, on a directory of
# its own for each side, read through one whole cycle by both programs in
# console mode and compared as above. Beyond 1,500 members the range
# retrieval of both sides is used as Active Directory needs it (slapd hands
# every value at once). Prints how long each side took to read the group
# and to finish the cycle.
big_group() {
  local count=$1 name=big$1 side
  awk -v n="$count" -v suffix="$suffix" 'BEGIN {
      printf "\ndn: ou=Grande,%s\nobjectClass: organizationalUnit\nou: Grande\n", suffix
      printf "\ndn: cn=Grande,ou=Groups,%s\nobjectClass: group\ncn: Grande\n", suffix
      for (i = 1; i <= n; i++) printf "member: cn=Membro %05d,ou=Grande,%s\n", i, suffix
      for (i = 1; i <= n; i++)
        printf "\ndn: cn=Membro %05d,ou=Grande,%s\nobjectClass: user\ncn: Membro %05d\nsn: Membro\n" \
          "sAMAccountName: M%05d\nmemberOf: cn=Grande,ou=Groups,%s\n", i, suffix, i, i, suffix
    }' | cat "$here/directory.ldif" - >"$work/$name.ldif"
  for side in "win-$name" "lnx-$name"; do
    mkdir -p "$work/$side"
    "$root/scripts/start-slapd.sh" "$work/$side/slapd" "$work/$name.ldif" $$ >"$work/$side/slapd.line" || return 1
    cut -d" " -f1 "$work/$side/slapd.line" >"$work/$side/slapd.port"
    cut -d" " -f2 "$work/$side/slapd.line" >"$work/$side/slapd.pid"
  done
  # One cycle each: the faster side must not start a second one (and log
  # it) while the slower one still works on its first.
  DIRECTORY=$name WAIT=$((120 + count / 4)) INTERVAL=60 console_pair "$name" "$separator" 1 \
    "group=CN=Grande,OU=Groups,$suffix" || return 1
  grep -q "encontrados no Grupo: $count\$" <(tr -d '\r' <"$work/win-$name/kelvasync.log") ||
    { echo "win-$name: not $count members read"; return 1; }
  cycle_times Windows "$count" "$work/win-$name/kelvasync.log"
  cycle_times Linux "$count" "$(linux_product "lnx-$name")/data/kelvasync.log"
}
# cycle_times <side> <members> <log>: seconds from the group search to the
# count line, and to the end of the cycle.
cycle_times() {
  tr -d '\r' <"$3" | awk -v who="$1" -v n="$2" '
    function at(t) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
    function since(t) { return t >= start ? t - start : t + 86400 - start }
    / \[Info\] LDAP:\/\// && !start { start = at($2) }
    /encontrados no Grupo:/ && start && !read { read = at($2) }
    / \[Console\] -----------------------------------------------------------------------/ && read && !end { end = at($2) }
    END { printf "%d members, %s: group read in %d s, cycle in %d s\n", n, who, since(read), since(end) }'
}
if [ "${KV_WINE_ARCH:-x64}" = x64 ]; then
  check "2,000 members: both agree" big_group 2000
  if [ "${KV_WINE_BIG:-0}" = 1 ]; then
    check "20,000 members: both agree" big_group 20000
  fi
fi

# --------------------------------------------------------------- summary
check "the provider was used and reported every unload" test -s "$provider_report"
check "the provider bound to the directory" grep -qE 'binds=[1-9]' "$provider_report"
check "no directory object leaked" bash -c "! grep -v ' live=0$' '$provider_report'"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  echo "--- provider report:"; cat "$provider_report" 2>/dev/null
  exit 1
fi
echo "all checks passed"

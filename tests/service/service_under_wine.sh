#!/usr/bin/env bash
# The Windows kelvasync.exe under Wine, installed in a folder with blanks:
# installation through the service manager (the image path registered in
# quotes), a second installation refused, start, the start-up lines in the
# log under the prefix's program-files folder, a second instance refused while
# the service runs (also while another process squats the name of the old
# single-instance mutex, as a mutex or as an event), a stop control with its lines and
# the shutdown lines, removal, and a console run with redirected output that
# starts and stops (Ctrl+C, which Wine delivers for SIGINT). Along the way:
# the pelorlib imports, the event source that -i registers and -d removes,
# and the Event Log entries (start, stop, an Erro line, the refused second
# instance, a missing data folder) as Wine prints them.
set -uo pipefail
exe=$1 squatter=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=$("$here/../../scripts/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
failures=0
check() {  # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
has_line() { grep -qxF -- "$2" <(tr -d '\r' <"$1"); }
log_has() { tr -d '\r' <"$log" | sed -E 's/^[0-9]{2}\/[0-9]{2}\/[0-9]{4} [0-9:]{8} \[[0-9a-f]+\] \[[A-Za-z]*\] //' | grep -qxF -- "$1"; }
run() { timeout 120 wine "$@" >"$work/out.txt" 2>&1 </dev/null; }
# Wine prints the entries a program reports to the event log on its debug
# channel "eventlog" (errors as err:, the others as warn: or trace:).
with_events() { WINEDEBUG=-all,+eventlog "$@"; }
event_has() {  # event_has <file> <err|warn|trace> <text>
  tr -d '\r' <"$1" | grep -F ":$2:eventlog:" | grep -qF -- "$3"
}
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kelvasync'

data="$prefix/drive_c/Program Files (x86)/Karvell Networks/HSM Karvell/data"
mkdir -p "$data"
log="$data/kelvasync.log"
rm -f "$log"
# The service binary must live inside the prefix for the service manager; it
# lives in a folder with blanks, as an installed one does.
home="$prefix/drive_c/Program Files (x86)/Karvell Networks/HSM Karvell"
cp "$exe" "$home/kelvasync.exe"
if [ -f "$(dirname "$exe")/pelorlib.dll" ]; then cp "$(dirname "$exe")/pelorlib.dll" "$home/"; fi
svc='C:\Program Files (x86)\Karvell Networks\HSM Karvell\kelvasync.exe'

# The version resource (block 041604b0, Portuguese (Brazil), UTF-16) and the
# manifest are in the executable.
resource_has() {
  python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if sys.argv[2].encode(sys.argv[3]) in d else 1)' "$exe" "$1" "$2"
}
check "version block 041604b0" resource_has "041604b0" utf-16-le
check "company name" resource_has "Karvell Networks" utf-16-le
check "file description" resource_has "Serviço de Integração do Active Directory com os HSMs da Karvell Networks." utf-16-le
check "product version" resource_has "1.0.0.5" utf-16-le
check "manifest asks highestAvailable without UI access" \
  resource_has '<requestedExecutionLevel level="highestAvailable" uiAccess="false"/>' utf-8
check "no DLLs beyond the system's and the HSM client library" bash -c "! x86_64-w64-mingw32-objdump -p '$exe' | grep -i 'DLL Name' | grep -viE 'kernel32|advapi32|msvcrt|user32|version|ole32|oleaut32|activeds|ws2_32|shell32|gdi32|rpcrt4|bcrypt|crypt32|secur32|pelorlib'"

# The HSM client library is imported by its plain names, in either calling
# convention of the x86 build (a maker's DLL exports those).
pelorlib_imports() {
  x86_64-w64-mingw32-objdump -p "$exe" | sed -n '/DLL Name: pelorlib.dll/,/^$/p' | awk 'NF == 3 && $3 ~ /^Kv/ {print $3}' | sort | tr '\n' ' '
}
check "the twelve pelorlib calls imported by their plain names" test "$(pelorlib_imports)" = \
  "KvCloseSession KvCreateUser KvFinalize KvInitialize KvListUsers KvOpenSession KvReadFile KvRemoveObj KvRemoveUser KvRenameObj KvSetUserParam KvWriteFile "

run "$svc" -d  # leftovers of an earlier, interrupted run
run "$svc" -i
check "install succeeds" has_line "$work/out.txt" "Servico instalado com sucesso."
# No "Atencao" line: the event source and the recovery actions (restart
# after a minute, twice) were set as well.
check "installation complete" test "$(tr -d '\r' <"$work/out.txt")" = "Servico instalado com sucesso."
run reg query "$source_key"
check "event source names kelvasync.exe as its message file" \
  grep -qE "EventMessageFile\s+REG_EXPAND_SZ\s+$(printf '%s' "$svc" | sed 's/[][\.()*^$]/\\&/g')\s*$" "$work/out.txt"
check "event source takes errors, warnings and information" grep -qE 'TypesSupported\s+REG_DWORD\s+0x7' "$work/out.txt"
# The message table: one block holding message 1, "%1" (UTF-16).
check "message table with the message %1" python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if bytes.fromhex("0100000001000000010000001000000010000100250031000d000a00") in d else 1)' "$exe"
run reg query 'HKLM\System\CurrentControlSet\Services\kelvasync' /v ImagePath
check "image path registered in quotes" grep -qF "\"$svc\"" "$work/out.txt"
run "$svc" -i
check "second install refused with 1073" has_line "$work/out.txt" "Nao foi possivel instalar o servico. Codigo 3-1073."
check "support line follows" grep -q "^Em caso de atendimento de Suporte envie um e-mail para '" "$work/out.txt"
check "nothing logged by installation" test ! -e "$log"

# Any user could create the old guard's name first: a mutex of that name
# made the service refuse to start, an event of that name let two run.
squat() {  # squat mutex|event
  [ -n "${squatter_pid:-}" ] && kill "$squatter_pid" 2>/dev/null && wait "$squatter_pid" 2>/dev/null
  timeout 300 wine "$squatter" "$1" >"$work/squat.txt" 2>&1 </dev/null &
  squatter_pid=$!
  for _ in $(seq 1 40); do grep -q pronto "$work/squat.txt" 2>/dev/null && return 0; sleep 0.5; done
  return 1
}
check "a mutex squats the old guard's name" squat mutex

run sc start kelvasync
for _ in $(seq 1 40); do log_has "Notificacao para continuar o servico recebida" 2>/dev/null && break; sleep 0.5; done
check "start-up lines in the log" log_has "Log iniciado"
check "version line" log_has "Versao deste servico 1.0.5 (maior, menor, revisao)"
check "service mode line" log_has "Servico iniciado"
check "initialised" log_has "Variaveis inicializadas"
check "service thread started" log_has "Notificacao para continuar o servico recebida"
sleep 2
run sc query kelvasync
check "reported running" grep -q "RUNNING" "$work/out.txt"

# A second instance while the service runs: a console run refuses to start,
# writes nothing to the log, and the service goes on.
check "an event squats the old guard's name" squat event
with_events run "$svc" -c
code=$?
check "the refusal is in the event log" event_has "$work/out.txt" err \
  "Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao sera iniciada."
check "second instance exits with 6" test "$code" -eq 6
check "second instance says why" has_line "$work/out.txt" \
  "kelvasync: Ja existe outra instancia do kelvasync em execucao neste computador. Esta instancia nao sera iniciada."
check "second instance wrote no line" test "$(tr -d '\r' <"$log" | grep -c 'Log iniciado$')" -eq 1
run sc query kelvasync
check "service still running" grep -q "RUNNING" "$work/out.txt"

run sc stop kelvasync
for _ in $(seq 1 40); do log_has "Log parado" 2>/dev/null && break; sleep 0.5; done
for line in "Inicio da requisicao para termino do servico" "Notificacao de 'shutdown' recebida" \
            "Todas as funcoes foram notificadas para termino do servico" "Servico em modo de encerramento" \
            "Servico parado" "Variaveis finalizadas" "Log parado"; do
  check "stop line: $line" log_has "$line"
done
run sc query kelvasync
check "reported stopped" grep -q "STOPPED" "$work/out.txt"

kill "$squatter_pid" 2>/dev/null; wait "$squatter_pid" 2>/dev/null

run "$svc" -d
check "removal succeeds" has_line "$work/out.txt" "Servico desinstalado com sucesso."
run "$svc" -d
check "second removal refused with 1060" has_line "$work/out.txt" "Nao foi possivel desinstalar o servico. Codigo 2-1060."
check "and says why" has_line "$work/out.txt" "Causa: o servico kelvasync nao estah instalado; nao hah o que remover."
no_source() { ! run reg query "$source_key"; }
check "event source removed" no_source

# Without the data folder the program ends at once; the event log says why.
mv "$data" "$data.away"
with_events run "$svc" -c
code=$?
# (Wine shows each backslash of the text doubled.)
check "a log that cannot be opened is in the event log" event_has "$work/out.txt" err \
  "a pasta do log 'C:\\\\Program Files (x86)\\\\Karvell Networks\\\\HSM Karvell\\\\data' nao existe"
check "and nothing else" test "$(grep -c ':eventlog:' "$work/out.txt")" -eq 1
check "standard error says why" grep -qF \
  "kelvasync: a pasta do log 'C:\\Program Files (x86)\\Karvell Networks\\HSM Karvell\\data' nao existe" "$work/out.txt"
check "and the run exits with 4" test "$code" -eq 4
mv "$data.away" "$data"

# Console mode with redirected output, stopped by Ctrl+C. A password too
# long to decode gives an Erro line as the worker starts.
rm -f "$log"
printf '[activedirectory]\r\npwd=%s\r\n' "$(printf '%070d' 0)" >"$home/kelvasync.ini"
too_long="A senha criptografada (pwd) da secao activedirectory do arquivo de configuracao tem 70 caracteres, mais que o maximo de 63. A senha foi considerada vazia."
with_events timeout 120 wine "$svc" -c >"$work/console.txt" 2>&1 </dev/null &
for _ in $(seq 1 40); do grep -q "maximo de 63" "$work/console.txt" 2>/dev/null && break; sleep 0.5; done
# Ctrl+C to this prefix's console run only: other prefixes on the machine
# (other worktrees, the soak) may run a kelvasync.exe -c of their own.
for pid in $(pgrep -f 'kelvasync.exe -c'); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && kill -INT "$pid"
done
wait $!
code=$?
check "console run exits 0" test "$code" -eq 0
check "console banner" grep -q "Serviço KELVASYNC executando em modo console." "$work/console.txt"
check "console shows the stop lines" grep -q "\[Info\] Inicio da requisicao para termino do servico" "$work/console.txt"
check "console run ends with Log parado" grep -q "\[Info\] Log parado" "$work/console.txt"
check "console lines are in the log too" log_has "Modo console. Pressione e segure a tecla ESC para cancelar a execucao"
check "the Erro line is in the log" log_has "$too_long"
check "start in the event log" event_has "$work/console.txt" trace \
  "Modo console. Pressione e segure a tecla ESC para cancelar a execucao"
check "the Erro line in the event log, as in the log" event_has "$work/console.txt" err "$too_long"
check "stop in the event log" event_has "$work/console.txt" trace "Servico parado"
check "Info lines stay out of the event log" bash -c "! grep -F ':eventlog:' '$work/console.txt' | grep -qF 'Log iniciado'"

rm -rf "$work" "$home/kelvasync.exe" "$home/pelorlib.dll" "$home/kelvasync.ini"
echo "$((failures == 0 ? 1 : 0)) passed, $failures failed" >/dev/null
if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"

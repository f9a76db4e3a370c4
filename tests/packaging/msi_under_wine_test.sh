#!/usr/bin/env bash
# The MSIs of one Windows build under Wine: msiexec /i /qn of the lab MSI
# and the product MSI puts the programs, the commented INI and the data
# folder into the product folder and registers the service as
# `kelvasync -i` does (quoted image path, manual start, LocalSystem, the
# description); the service starts with the stand-in pelorlib.dll and an INI
# that names the HSM emulator; msiexec /x stops and removes the service and
# the programs and keeps the INI and the log; a reinstallation keeps the
# administrator's INI, whatever properties it is given; an unattended
# installation (msiexec /i /qn with the INI values, START_TYPE=auto and a
# group managed service account as SERVICE_ACCOUNT) writes those values
# into a new INI, registers the event source, the start type and the
# account, and the service starts; an account that would need a password
# is refused. The permissions and the service's SID type, which Wine's
# installer does not apply, are checked in the package's tables.
#   msi_under_wine_test.sh <windows build> <linux build> <emulator folder>
set -uo pipefail
build=$1 host=$2 emulator=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
prefix=$("$root/scripts/wine-prefix.sh") || exit 1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine_run() { timeout 300 wine "$@" >"$work/out.txt" 2>&1 </dev/null; }

"$root/scripts/package.sh" msi "$build" "$host" "$work" >"$work/package.out" 2>&1 || cat "$work/package.out"
msi=$(ls "$work"/kelvasync-[0-9]*.msi 2>/dev/null)
lab=$(ls "$work"/kelvasync-lab-*.msi 2>/dev/null)
check "product and lab MSIs built" test -f "$msi" -a -f "$lab"
# The service's own SID (NT SERVICE\kelvasync), derived here as Windows
# derives it: the SHA-1 of the upper-case name in UTF-16LE, five
# little-endian words.
service_sid=$(python3 -c 'import hashlib, struct
print("S-1-5-80-" + "-".join(map(str, struct.unpack("<5I", hashlib.sha1("KELVASYNC".encode("utf-16-le")).digest()))))')
locks() { msiinfo export "$msi" MsiLockPermissionsEx | tail -n +4 | cut -f2-5 | tr -d '\r' | LC_ALL=C sort; }
check "the INI, the sample and the data folder open to Administrators and SYSTEM only, the service's SID changing \
the data folder's files and, when it runs as another account than LocalSystem, reading the INI" \
  test "$(locks)" = "$(printf '%s\t%s\t%s\t%s\n' \
    ConfigIniFile File 'D:P(A;;FA;;;SY)(A;;FA;;;BA)' 'SERVICE_ACCOUNT ~= "LocalSystem"' \
    ConfigIniFile File "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;$service_sid)" 'NOT (SERVICE_ACCOUNT ~= "LocalSystem")' \
    DataFolder CreateFolder "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;$service_sid)" '' \
    SampleIniFile File 'D:P(A;;FA;;;SY)(A;;FA;;;BA)' '')"
check "the service's SID in its token, whatever the account (SID type unrestricted), for either start type" \
  test "$(msiinfo export "$msi" MsiServiceConfig | tail -n +4 | cut -f2-5 | tr -d '\r' | sort -u)" \
    = "$(printf 'kelvasync\t5\t5\t1')"
check "the data folder's permissions apply to the folder the MSI creates" \
  test "$(msiinfo export "$msi" CreateFolder | tail -n +4 | tr -d '\r' | tr '\t\n' ' ')" = "DataFolder DataFolder "
check "the stand-in DLL is not in the product MSI" bash -c "! msiinfo export '$msi' File | grep -qi pelorlib"
# Windows Installer 5 applies these; Wine's installer knows no such table.
check "recovery: restart after a minute, twice, for either start type" \
  test "$(msiinfo export "$msi" MsiServiceConfigFailureActions | tail -n +4 | cut -f2-8 | tr -d '\r' | sort -u)" \
    = "$(printf 'kelvasync\t5\t86400\t\t\t1[~]1[~]0\t60000[~]60000[~]0')"

product="$prefix/drive_c/Program Files (x86)/Karvell Networks/HSM Karvell"
# Leftovers of an interrupted run.
wine_run msiexec /x "$(winepath -w "$msi")" /qn
wine_run msiexec /x "$(winepath -w "$lab")" /qn
rm -rf "$product"

install() { local package=$1; shift; wine_run msiexec /i "$(winepath -w "$package")" /qn "$@"; }
check "lab MSI installs" install "$lab"
check "product MSI installs" install "$msi"
for file in kelvasync.exe kelvasync-passwd.exe kelvasync.ini kelvasync-exemplo.ini pelorlib.dll LEIA-ME-laboratorio.txt; do
  check "installed: $file" test -f "$product/$file"
done
if [ -f "$build/bin/kelvasync-check.exe" ]; then
  check "installed: kelvasync-check.exe" test -f "$product/kelvasync-check.exe"
fi
check "the data folder exists" test -d "$product/data"
check "the INI is the commented sample" grep -q "^; Senha cifrada: gere o valor com kelvasync-passwd" "$product/kelvasync.ini"

# The registration, read from a registry export (UTF-16, accents intact).
key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\kelvasync'
registration() {
  rm -f "$work/service.reg"
  timeout 120 wine regedit /E "$(winepath -w "$work/service.reg")" "$key" >/dev/null 2>&1 </dev/null
  [ -s "$work/service.reg" ] && iconv -f utf-16 -t utf-8 "$work/service.reg" | tr -d '\r' >"$work/service.txt"
}
value() { sed -n "s/^\"$1\"=//p" "$work/service.txt"; }
check "the service is registered" registration
# Windows Installer quotes the path itself; Wine's installer does not.
check "the image path is the installed kelvasync.exe" \
  test "$(value ImagePath | tr -d '"')" = 'C:\\Program Files (x86)\\Karvell Networks\\HSM Karvell\\kelvasync.exe'
check "started by hand" test "$(value Start)" = dword:00000003
check "own process" test "$(value Type)" = dword:00000010
check "runs as LocalSystem" test "$(value ObjectName)" = '"LocalSystem"'
# The registration texts are those of `kelvasync -i` (the Linux build's unit
# carries the same ones).
KELVASYNC_UNIT_DIR=$work "$host/src/service/kelvasync" -i >/dev/null 2>&1
check "the display name" test "$(value DisplayName)" = "\"$(sed -n 's/^Description=//p' "$work/kelvasync.service")\""
check "the description" test "$(value Description)" = "\"$(sed -n '1s/^# //p' "$work/kelvasync.service")\""

# An INI that names the emulator (the Linux build's kelvasync-passwd
# encrypts as the Windows one does), then a start.
port=$(cat "$emulator/port")
{
  printf '[hsm]\r\nhost=127.0.0.1:%s\r\nusr=master\r\n' "$port"
  printf 'pwd=%s\r\nremoveusers=block\r\n' "$(printf kv-master-1 | "$host/tools/passwd/kelvasync-passwd")"
} >"$product/kelvasync.ini"
cp "$product/kelvasync.ini" "$work/admin.ini"
log="$product/data/kelvasync.log"
rm -f "$log"
wine_run sc start kelvasync
for _ in $(seq 1 60); do grep -q "Notificacao para continuar o servico recebida" "$log" 2>/dev/null && break; sleep 0.5; done
check "the installed service starts" grep -q "Servico iniciado" "$log"
wine_run sc query kelvasync
check "reported running" grep -q RUNNING "$work/out.txt"
# The installed kelvasync-check with the lab's pelorlib.dll lists the
# emulator's users (the directory part is left empty: exit code 1).
if [ -f "$product/kelvasync-check.exe" ]; then
  wine_run "C:\\Program Files (x86)\\Karvell Networks\\HSM Karvell\\kelvasync-check.exe"
  check "the installed kelvasync-check reaches the emulator" grep -q "^ *operador (nao gerenciado)" <(tr -d '\r' <"$work/out.txt")
fi

# Removal while it runs: the service gets its stop, and its registration
# goes once it has stopped. (Wine's installer does not wait for the stop as
# Windows Installer does, so the running kelvasync.exe outlives this first
# removal under Wine; the second removal below, of a stopped service, shows
# the programs going.)
check "product MSI uninstalls" wine_run msiexec /x "$(winepath -w "$msi")" /qn
for _ in $(seq 1 60); do grep -q "Log parado" "$log" && break; sleep 0.5; done
check "the running service was stopped" grep -q "Servico parado" "$log"
for _ in $(seq 1 20); do registration || break; sleep 0.5; done
unregistered() { ! registration; }
check "the service is removed" unregistered
check "kelvasync-passwd.exe is removed" test ! -e "$product/kelvasync-passwd.exe"
check "the INI is kept" cmp -s "$work/admin.ini" "$product/kelvasync.ini"
check "the log is kept" grep -q "Log parado" "$log"

check "product MSI reinstalls" install "$msi" HSM_HOST=10.9.9.9 AD_HOST=dc09.example.com MAX_REMOVALS=99
check "the reinstallation keeps the administrator's INI" cmp -s "$work/admin.ini" "$product/kelvasync.ini"
check "and renews the sample" grep -q "^\[hsm\]" "$product/kelvasync-exemplo.ini"
check "product MSI uninstalls the stopped service" wine_run msiexec /x "$(winepath -w "$msi")" /qn
for file in kelvasync.exe kelvasync-passwd.exe kelvasync-check.exe kelvasync-exemplo.ini; do
  check "removed: $file" test ! -e "$product/$file"
done
check "the INI and the log are kept" test -f "$product/kelvasync.ini" -a -f "$log"

# Unattended, onto a machine without an INI: the values come from the
# properties (passwords as kelvasync-passwd prints them).
rm -f "$product/kelvasync.ini" "$log"
encrypted() { printf '%s' "$1" | "$host/tools/passwd/kelvasync-passwd"; }
ad_pwd=$(encrypted "senha do AD") hsm_pwd=$(encrypted kv-master-1)
group='CN=HSM Operadores,OU=Groups,DC=example,DC=com'
refused() { ! install "$@"; }
check "an unknown START_TYPE is refused" refused "$msi" START_TYPE=disabled
check "an account that would need a password is refused" refused "$msi" 'SERVICE_ACCOUNT=EMPRESA\pessoa'
check "nothing installed by the refused one" test ! -e "$product/kelvasync.exe"
check "product MSI installs unattended" install "$msi" START_TYPE=auto 'SERVICE_ACCOUNT=EMPRESA\svc-kv$' AD_HOST=127.0.0.1:1 \
  AD_USER=svc-kelvasync@example.com AD_PASSWORD="$ad_pwd" AD_GROUP="$group" UPDATE_MINUTES=7 \
  HSM_HOST="127.0.0.1:$port" HSM_USER=master HSM_PASSWORD="$hsm_pwd" REMOVE_USERS=block MAX_REMOVALS=5
ini_value() {  # ini_value <section> <key>
  tr -d '\r' <"$product/kelvasync.ini" |
    awk -v section="[$1]" -v key="$2" '/^\[/ {inside = ($0 == section)} inside && index($0, key "=") == 1 {print substr($0, length(key) + 2); exit}'
}
for entry in "activedirectory host 127.0.0.1:1" "activedirectory usr svc-kelvasync@example.com" \
             "activedirectory pwd $ad_pwd" "activedirectory group $group" \
             "activedirectory updatefrequencyinminutes 7" "hsm host 127.0.0.1:$port" "hsm usr master" \
             "hsm pwd $hsm_pwd" "hsm removeusers block" "hsm maxremovals 5"; do
  read -r section name expected <<<"$entry"
  check "INI [$section] $name" test "$(ini_value "$section" "$name")" = "$expected"
done
check "the INI keeps its comments" grep -q "^; Senha cifrada: gere o valor com kelvasync-passwd" "$product/kelvasync.ini"
check "the service is registered again" registration
check "started automatically" test "$(value Start)" = dword:00000002
check "as the group managed service account given" test "$(value ObjectName)" = '"EMPRESA\\svc-kv$"'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kelvasync'
refused_query() { ! timeout 60 wine reg query "$source_key" >/dev/null 2>&1 </dev/null; }
events=$(timeout 60 wine reg query "$source_key" 2>&1 </dev/null | tr -d '\r')
check "the event source names the installed kelvasync.exe" grep -qE \
  'EventMessageFile\s+REG_EXPAND_SZ\s+C:\\Program Files \(x86\)\\Karvell Networks\\HSM Karvell\\kelvasync.exe$' <<<"$events"
check "the event source takes errors, warnings and information" grep -qE 'TypesSupported\s+REG_DWORD\s+0x7' <<<"$events"
wine_run sc start kelvasync
for _ in $(seq 1 60); do grep -q "Atualizacao do HSM/Tessel a cada" "$log" 2>/dev/null && break; sleep 0.5; done
check "the service starts with the INI of the properties" grep -q "Atualizacao do HSM/Tessel a cada 7 minuto(s)" "$log"
check "product MSI uninstalls the unattended installation" wine_run msiexec /x "$(winepath -w "$msi")" /qn
for _ in $(seq 1 60); do grep -q "Log parado" "$log" && break; sleep 0.5; done
check "the event source goes with it" refused_query

check "lab MSI uninstalls" wine_run msiexec /x "$(winepath -w "$lab")" /qn
check "the stand-in DLL is removed" test ! -e "$product/pelorlib.dll"
rm -rf "$product"
finish

#!/usr/bin/env bash
# The service's main job on this machine, against embedded defaults:
#  1. builds kelvasync, hsm-emulator, kelvasync-passwd and kelvasync-check;
#  2. starts a local test directory (slapd, StartTLS with a test CA) holding
#     the sample group "HSM Operadores" (scripts/demo/sample-directory.ldif),
#     and an HSM emulator that already holds the user of a former member
#     (logon "ex-funcionario"), which the service blocks, and "admin", which
#     it never touches;
#  3. writes kelvasync.ini with both passwords encrypted by kelvasync-passwd;
#  4. runs kelvasync in console mode through one full cycle, then stops it
#     as an operator would (SIGINT, like Ctrl+C);
#  5. prints the HSM's users and the addb object the cycle stored;
#  6. runs kelvasync-check, when built, which shows the next cycle's plan.
#
#   scripts/demo.sh                the programs of build/linux, in a temporary
#                                  program-files folder
#   scripts/demo.sh --installed    the installed Debian packages kelvasync and
#                                  kelvasync-lab, with their own folders: the
#                                  configuration in /etc/kelvasync is replaced
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
installed=0
[ "${1:-}" = --installed ] && installed=1
if [ $installed = 1 ]; then
  bin=/usr/bin
  emulator=/usr/bin/hsm-emulator
  passwd_tool=/usr/bin/kelvasync-passwd
else
  scripts/install-deps.sh
  cmake --preset linux >/dev/null
  cmake --build build/linux -j"$(nproc)" --target kelvasync hsm-emulator kelvasync-passwd kelvasync-check
  bin=build/linux/src/service
  emulator=$root/build/linux/emulator/hsm-emulator
  passwd_tool=build/linux/tools/passwd/kelvasync-passwd
fi

work=$(mktemp -d)
slapd_pid=""
cleanup() {
  [ -n "$slapd_pid" ] && kill "$slapd_pid" 2>/dev/null || true
  scripts/start-emulator.sh stop "$work/hsm" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "--- test directory (slapd) with the sample group"
read -r ldap_port slapd_pid < <(scripts/start-slapd.sh "$work/ldap" "$root/scripts/demo/sample-directory.ldif" $$)
echo "slapd: ldap://127.0.0.1:$ldap_port (StartTLS)"

echo "--- HSM emulator"
scripts/start-emulator.sh start "$emulator" "$work/hsm"
hsm_port=$(cat "$work/hsm/port")
hsm_admin() { "$emulator" "$1" --state "$work/hsm/state" "${@:2}"; }
# Accounts of the emulator's test state: master (kv-master-1) and
# IntegracaoAD, the owner of addb. Two more users made by hand:
hsm_admin add-user --name admin --password admin-pw >/dev/null
# The identifier of a logon: "A" and the 2nd to 15th hex digits of its MD5.
former=A$(printf '%s' ex-funcionario | md5sum | cut -c2-15)
hsm_admin add-user --name "$former" --password former-pw >/dev/null
echo "HSM: 127.0.0.1:$hsm_port, with admin and $former (ex-funcionario, no longer in the group)"

echo "--- kelvasync.ini (passwords encrypted with kelvasync-passwd)"
if [ $installed = 1 ]; then
  program_files=/opt
else
  program_files=$work/pf
fi
product="$program_files/Karvell Networks/HSM Karvell"
mkdir -p "$product/data"
ad_pwd=$(printf 'segredo' | "$passwd_tool")
hsm_pwd=$(printf 'kv-master-1' | "$passwd_tool")
cat >"$product/kelvasync.ini" <<INI
[activedirectory]
host=127.0.0.1:$ldap_port
usr=cn=svc,ou=Users,dc=kelvasync,dc=test
pwd=$ad_pwd
group=cn=HSM Operadores,ou=Groups,dc=kelvasync,dc=test
updatefrequencyinminutes=3
cacert=$work/ldap/ca.pem

[hsm]
host=127.0.0.1:$hsm_port
usr=master
pwd=$hsm_pwd
removeusers=block
INI
# It holds both passwords: the owner alone, or, installed, root and the
# service's group (as the package leaves it).
if [ $installed = 1 ]; then chmod 640 "$product/kelvasync.ini"; else chmod 600 "$product/kelvasync.ini"; fi
sed 's/^/    /' "$product/kelvasync.ini"

echo "--- kelvasync -c (the first cycle starts after a 10-second pause)"
log="$product/data/kelvasync.log"
KELVASYNC_PROGRAM_FILES="$program_files" "$bin/kelvasync" -c </dev/null &
pid=$!
# The reconciliation ends with a line of dashes, then the addb save; a stop
# request lets the cycle finish first.
for _ in $(seq 1 120); do
  grep -q -- "-----------------------------------------------------------------------" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.5
done
kill -INT "$pid" 2>/dev/null || true
wait "$pid" || true

echo "--- users on the HSM (name, blocked, permission mask)"
hsm_admin list-users
echo "--- the addb object (identifier, logon, common name per member)"
hsm_admin show-object --name IntegracaoAD/addb | tr -d '\r'

check_tool="$bin/kelvasync-check"
[ $installed = 1 ] || check_tool=build/linux/tools/check/kelvasync-check
if [ -x "$check_tool" ]; then
  echo "--- kelvasync-check: the next cycle's plan, with nothing left to do"
  code=0
  KELVASYNC_PROGRAM_FILES="$program_files" "$check_tool" || code=$?
  echo "kelvasync-check exit code: $code"
fi

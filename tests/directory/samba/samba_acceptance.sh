#!/usr/bin/env bash
# Acceptance of the LDAP directory backend against Samba as an Active
# Directory domain controller on loopback.
#
#   samba_acceptance.sh PATH/TO/samba_group_read
#
# Provisions a throwaway domain (KVTEST.LOCAL) in a temporary folder, with a
# test CA and a server certificate for 127.0.0.1, adds 2,000 users to one
# group together with a nested group and a user with non-ASCII names, and
# reads that group with the service's own group search:
#   - StartTLS on port 389 binding as Administrator@kvtest.local,
#   - StartTLS binding as KVTEST\Administrator,
#   - LDAPS on port 636,
# each asking for ranges of 700 values of `member`, so that the range loop
# runs. The records must match the server's member list, in its order.
#
# Needs root (ports 389 and 636) and the packages samba, samba-ad-dc and
# samba-ad-provision (plus ldap-utils and openssl). Exits 77 (skipped) when
# they are missing or the ports are taken. Takes about a minute.
set -euo pipefail
reader=$(realpath "$1")
# In CI (CI=true) everything it needs is installed, so a reason to skip is a
# failure there: an acceptance test that quietly skips proves nothing.
skip() {
  if [ "${CI:-}" = true ]; then echo "FAILED (would skip outside CI): $*"; exit 1; fi
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root (Samba listens on ports 389 and 636)"
command -v samba >/dev/null && command -v samba-tool >/dev/null ||
  skip "samba is not installed (apt-get install samba samba-ad-dc samba-ad-provision)"
command -v ldapsearch >/dev/null || skip "ldap-utils is not installed"
if ss -ltn 2>/dev/null | awk '{print $4}' | grep -Eq ':(389|636)$'; then skip "port 389 or 636 is in use"; fi

started=$(date +%s)
work=$(mktemp -d /tmp/kv-samba-XXXXXX)
samba_pid=
cleanup() {
  if [ -n "$samba_pid" ]; then
    kill -TERM -- "-$samba_pid" 2>/dev/null || kill "$samba_pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$samba_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$samba_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

realm=KVTEST.LOCAL
domain=KVTEST
base="DC=kvtest,DC=local"
adminpass='Kv-Senha.Forte1'
users=2000
range=700

# Test CA and a certificate for 127.0.0.1 (Samba's own names no address).
cd "$work"
mkdir tls
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kelvasync samba test CA" \
  -keyout tls/ca.key -out tls/ca.pem >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout tls/server.key -out tls/server.csr >/dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >tls/server.ext
openssl x509 -req -in tls/server.csr -CA tls/ca.pem -CAkey tls/ca.key -CAcreateserial -days 2 \
  -extfile tls/server.ext -out tls/server.pem >/dev/null 2>&1
chmod 600 tls/server.key
export LDAPTLS_CACERT=$work/tls/ca.pem

echo "provisioning $realm"
samba-tool domain provision --targetdir="$work/dc" --realm=$realm --domain=$domain \
  --server-role=dc --dns-backend=NONE --adminpass="$adminpass" --host-name=kvdc --host-ip=127.0.0.1 \
  --option="interfaces = lo" --option="bind interfaces only = yes" \
  --option="server services = ldap" \
  --option="tls enabled = yes" --option="tls keyfile = $work/tls/server.key" \
  --option="tls certfile = $work/tls/server.pem" --option="tls cafile = $work/tls/ca.pem" \
  >provision.log 2>&1 || { cat provision.log; exit 1; }

samba -i -M single --no-process-group -s "$work/dc/etc/smb.conf" >samba.log 2>&1 &
samba_pid=$!
admin="Administrator@kvtest.local"
for _ in $(seq 1 200); do
  if ldapsearch -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" -s base -b "" -LLL \
       defaultNamingContext >/dev/null 2>&1; then break; fi
  kill -0 "$samba_pid" 2>/dev/null || { cat samba.log; exit 1; }
  sleep 0.2
done

echo "adding $users users"
{
  printf 'dn: CN=Aninhado,CN=Users,%s\nobjectClass: group\nsAMAccountName: Aninhado\n\n' "$base"
  printf 'dn: CN=%s,CN=Users,%s\nobjectClass: user\nsAMAccountName:: %s\n\n' \
    "Erica Lucja" "$base" "$(printf '\xc3\x89rica' | base64)"
  for i in $(seq -w 1 $users); do
    printf 'dn: CN=Pessoa %s,CN=Users,%s\nobjectClass: user\nsAMAccountName: P.%s\n\n' "$i" "$base" "$i"
  done
  printf 'dn: CN=Sincronizados,CN=Users,%s\nobjectClass: group\nsAMAccountName: Sincronizados\n' "$base"
  printf 'member: CN=Aninhado,CN=Users,%s\n' "$base"
  printf 'member: CN=Erica Lucja,CN=Users,%s\n' "$base"
  for i in $(seq -w 1 $users); do printf 'member: CN=Pessoa %s,CN=Users,%s\n' "$i" "$base"; done
} >entries.ldif
ldapadd -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" -f entries.ldif >add.log 2>&1 ||
  { tail add.log; exit 1; }

# The expected records, in the server's order of the member values:
# a user gives its lower-cased logon, the nested group three empty fields.
group="CN=Sincronizados,CN=Users,$base"
ldapsearch -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" -s base -b "$group" -LLL -o ldif-wrap=no \
  member | sed -n 's/^member: //p' >members.txt
count=$(wc -l <members.txt)
[ "$count" -eq $((users + 2)) ] || { echo "the server lists $count members"; exit 1; }
while IFS= read -r dn; do
  case "$dn" in
    CN=Aninhado,*) printf '\t\t\n' ;;
    CN=Erica\ Lucja,*) printf '\xc9rica\tErica Lucja\tA%s\n' "$(printf '\xc9rica' | md5sum | cut -c2-15)" ;;
    CN=Pessoa\ *) n=${dn#CN=Pessoa }; n=${n%%,*}
                  printf 'p.%s\tPessoa %s\tA%s\n' "$n" "$n" "$(printf 'p.%s' "$n" | md5sum | cut -c2-15)" ;;
    *) echo "unexpected member $dn" >&2; exit 1 ;;
  esac
done <members.txt >expected.txt

# The server answers explicit ranges, so asking for $range values at a time
# makes the search's range loop run (three requests for this group).
ldapsearch -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" -s base -b "$group" -LLL \
  "(objectClass=*)" "member;range=0-$((range - 1))" >ranged.txt
grep -q "^member;range=0-$((range - 1)):" ranged.txt ||
  { echo "the server ignores explicit ranges: the range loop would not be exercised"; head -c 600 ranged.txt; exit 1; }

failures=0
check() {
  local what=$1 path=$2 user=$3
  local t0 t1
  t0=$(date +%s%N)
  if ! "$reader" "$path" "$user" "$adminpass" "$group" $range "$work/log-$what" >got.txt 2>log.txt; then
    echo "FAIL ($what): the search failed"; cat log.txt; failures=$((failures + 1)); return
  fi
  t1=$(date +%s%N)
  if ! cmp -s got.txt expected.txt; then
    echo "FAIL ($what): records differ from the server's member list"; diff expected.txt got.txt | head
    failures=$((failures + 1)); return
  fi
  grep -q "Quantidade de usuarios encontrados no Grupo: $((users + 2))" log.txt ||
    { echo "FAIL ($what): count line missing"; cat log.txt; failures=$((failures + 1)); return; }
  echo "ok ($what): $((users + 2)) records in order, $(((t1 - t0) / 1000000)) ms"
}
check "StartTLS, user@domain" "LDAP://127.0.0.1" "Administrator@kvtest.local"
check "StartTLS, DOMAIN\\user" "LDAP://127.0.0.1" "KVTEST\\Administrator"
check "LDAPS" "LDAP://127.0.0.1:636" "Administrator@kvtest.local"

# Certificate verification is on: a CA the server's certificate does not
# chain to is refused before the bind.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=other CA" -keyout other.key -out other.pem \
  >/dev/null 2>&1
if LDAPTLS_CACERT=$work/other.pem "$reader" "LDAP://127.0.0.1" "$admin" "$adminpass" "$group" $range \
     "$work/log-untrusted" >/dev/null 2>log.txt; then
  echo "FAIL (untrusted CA): the search succeeded"; failures=$((failures + 1))
elif grep -q "Nao foi possivel conectar no Controlador de Dominio (DC) (StartTLS" log.txt; then
  echo "ok (untrusted CA): refused at StartTLS"
else
  echo "FAIL (untrusted CA): unexpected log"; cat log.txt; failures=$((failures + 1))
fi

echo "total $(( $(date +%s) - started )) s"
[ $failures -eq 0 ]

#!/usr/bin/env bash
# Acceptance of the LDAP directory backend against Samba as an Active
# Directory domain controller on loopback.
#
#   samba_acceptance.sh PATH/TO/samba_group_read
#                       [PATH/TO/kelvasync hsm-emulator kelvasync-passwd kelvasync-check]
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
# Given the three programs, it then runs single cycles of the service
# (`kelvasync --once`, HSM emulator) with usr and pwd empty and a keytab
# exported for a service account: the bind is Kerberos (GSSAPI) over
# StartTLS against Samba's KDC on loopback. A good keytab reads a small
# group (and kelvasync-check names the keytab and its principal); a keytab whose keys the account's password reset made stale, a
# clock an hour ahead (libfaketime), a keytab that does not exist, a KDC
# that does not answer, no SASL GSSAPI module (an empty SASL_PATH) and an
# account deleted from the domain each fail
# with their own line and remove nobody. Samba, unlike Active Directory,
# wants GSSAPI signing or sealing even inside TLS unless told otherwise
# (ldap server require strong auth); the service asks for none over TLS,
# as Active Directory requires: the first Kerberos bind, before the DC is
# told, fails with an Erro line that names the setting, which is then set.
# The DC runs its own DNS (Samba's internal DNS on 127.0.0.1:53): with
# host=dns:kvtest.local and a site, a cycle in a mount namespace whose
# resolv.conf names that DNS finds the DC through its SRV records and binds
# by Kerberos as ldap/<the DC's name> (the SPN for its address is gone by
# then), reaches it by name over TLS, and the status file names it; a DNS
# server that never answers costs one bounded lookup, said in the log; and
# kelvasync-check shows each DC of a list with its own result.
#
# Needs root (ports 389 and 636) and the packages samba, samba-ad-dc and
# samba-ad-provision (plus ldap-utils and openssl; for the Kerberos part
# libsasl2-modules-gssapi-mit and faketime). Exits 77 (skipped) when
# they are missing or the ports are taken. Takes about a minute.
set -euo pipefail
reader=$(realpath "$1")
service=${2:+$(realpath "$2")} emulator=${3:+$(realpath "$3")} passwd_tool=${4:+$(realpath "$4")}
check_tool=${5:+$(realpath "$5")}
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
if ss -ltnu 2>/dev/null | awk '{print $5}' | grep -Eq ':(53|88|389|636)$'; then
  skip "port 53, 88, 389 or 636 is in use"
fi
if [ -n "$service" ]; then
  ls /usr/lib/x86_64-linux-gnu/sasl2/libgssapiv2.so* >/dev/null 2>&1 ||
    skip "the SASL GSSAPI module is not installed (apt-get install libsasl2-modules-gssapi-mit)"
  command -v faketime >/dev/null || skip "faketime is not installed"
fi

started=$(date +%s)
work=$(mktemp -d /tmp/kv-samba-XXXXXX)
samba_pid=
hsm_pid=
cleanup() {
  if [ -n "$hsm_pid" ]; then kill "$hsm_pid" 2>/dev/null || true; wait "$hsm_pid" 2>/dev/null || true; fi
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

# Test CA and a certificate for 127.0.0.1 and the DC's name (Samba's own
# names no address).
cd "$work"
mkdir tls
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kelvasync samba test CA" \
  -keyout tls/ca.key -out tls/ca.pem >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout tls/server.key -out tls/server.csr >/dev/null 2>&1
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:kvdc.kvtest.local\nextendedKeyUsage=serverAuth\n' \
  >tls/server.ext
openssl x509 -req -in tls/server.csr -CA tls/ca.pem -CAkey tls/ca.key -CAcreateserial -days 2 \
  -extfile tls/server.ext -out tls/server.pem >/dev/null 2>&1
chmod 600 tls/server.key
export LDAPTLS_CACERT=$work/tls/ca.pem

echo "provisioning $realm"
samba-tool domain provision --targetdir="$work/dc" --realm=$realm --domain=$domain \
  --server-role=dc --dns-backend=SAMBA_INTERNAL --adminpass="$adminpass" --host-name=kvdc --host-ip=127.0.0.1 \
  --option="interfaces = lo" --option="bind interfaces only = yes" \
  --option="server services = ldap, kdc, dns" \
  --option="tls enabled = yes" --option="tls keyfile = $work/tls/server.key" \
  --option="tls certfile = $work/tls/server.pem" --option="tls cafile = $work/tls/ca.pem" \
  >provision.log 2>&1 || { cat provision.log; exit 1; }

admin="Administrator@kvtest.local"
start_samba() {
  samba -i -M single --no-process-group -s "$work/dc/etc/smb.conf" >>samba.log 2>&1 &
  samba_pid=$!
  for _ in $(seq 1 200); do
    if ldapsearch -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" -s base -b "" -LLL \
         defaultNamingContext >/dev/null 2>&1; then return 0; fi
    kill -0 "$samba_pid" 2>/dev/null || { cat samba.log; return 1; }
    sleep 0.2
  done
}
stop_samba() {
  kill -TERM "$samba_pid" 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$samba_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$samba_pid" 2>/dev/null
  wait "$samba_pid" 2>/dev/null
  samba_pid=
}
start_samba || exit 1

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

# ---------------------------------------------------------------- Kerberos
# Single cycles of the service binding as the principal of a keytab. The
# HSM holds the addb owner and a former member's user: with removeusers=yes
# a cycle that read the group removes it, a failed one removes nobody.
kerberos_cycles() {
  local svc=kvsvc svcpass='Kv-Servico.1' kgroup="CN=Kerberizados,CN=Users,$base"
  samba-tool user create $svc "$svcpass" -H "$work/dc/private/sam.ldb" >tool.log 2>&1 &&
    # The service principal is ldap/<host as configured>: the tests reach
    # the DC by its address.
    samba-tool spn add ldap/127.0.0.1 'KVDC$' -H "$work/dc/private/sam.ldb" >>tool.log 2>&1 &&
    samba-tool domain exportkeytab "$work/kv.keytab" --principal=$svc@$realm -s "$work/dc/etc/smb.conf" \
      >>tool.log 2>&1 || { cat tool.log; return 1; }
  printf 'dn: %s\nobjectClass: group\nsAMAccountName: Kerberizados\nmember: CN=Pessoa 0001,CN=Users,%s\nmember: CN=Pessoa 0002,CN=Users,%s\n' \
    "$kgroup" "$base" "$base" | ldapadd -ZZ -x -H ldap://127.0.0.1 -D "$admin" -w "$adminpass" >/dev/null ||
    return 1
  # A realm of its own: no DNS, no reverse lookup of the host. With MIT's
  # default kdc_timesync = 1 the library adopts the KDC's time and a
  # skewed clock binds all the same; a site that turns this off (as here)
  # gets the clock line. The second file names a KDC port where nothing
  # listens.
  printf '[libdefaults]\n  default_realm = %s\n  dns_lookup_kdc = false\n  dns_lookup_realm = false\n  dns_canonicalize_hostname = false\n  rdns = false\n  kdc_timesync = 0\n[realms]\n  %s = {\n    kdc = 127.0.0.1:%s\n  }\n[domain_realm]\n  127.0.0.1 = %s\n  .kvtest.local = %s\n' \
    $realm $realm 88 $realm $realm >krb5.conf
  sed 's/127.0.0.1:88/127.0.0.1:9/' krb5.conf >krb5-nokdc.conf
  export KRB5_CONFIG=$work/krb5.conf
  unset KRB5CCNAME KRB5_CLIENT_KTNAME

  local product="$work/kv/product/Karvell Networks/HSM Karvell" state=$work/kv/hsm
  local id1 id2 leaver
  id1=A$(printf 'p.0001' | md5sum | cut -c2-15) id2=A$(printf 'p.0002' | md5sum | cut -c2-15)
  leaver=A$(printf 'ex-funcionario' | md5sum | cut -c2-15)
  mkdir -p "$product/data"
  { "$emulator" init --state "$state" --master-password kv-master-1 &&
      "$emulator" add-user --state "$state" --name IntegracaoAD --password 73905162 &&
      "$emulator" add-user --state "$state" --name "$leaver" --password pw-leaver; } >hsm-admin.log 2>&1 ||
    { cat hsm-admin.log; return 1; }
  "$emulator" serve --state "$state" --port 0 --port-file "$work/kv/hsm.port" </dev/null >hsm.log 2>&1 &
  hsm_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/kv/hsm.port" ] && break; sleep 0.1; done
  ini() {  # ini <line for the keytab> [host value] [another line]
    printf '[activedirectory]\r\nhost=%s\r\nusr=\r\npwd=\r\ngroup=%s\r\n%s\r\n%s\r\n[hsm]\r\nhost=127.0.0.1:%s\r\nusr=master\r\npwd=%s\r\nremoveusers=yes\r\n' \
      "${2:-127.0.0.1}" "$kgroup" "$1" "${3:-}" "$(cat "$work/kv/hsm.port")" "$(printf kv-master-1 | "$passwd_tool")" \
      >"$product/kelvasync.ini"
  }
  users() { "$emulator" list-users --state "$state" 2>&1 | sort; }
  # cycle <what> <expected exit> <expected log text> [command prefix...]:
  # one cycle; the log must hold the text, and a failed cycle must leave
  # the HSM's users as they were.
  cycle() {
    local what=$1 code=$2 text=$3 rc=0
    shift 3
    : >"$product/data/kelvasync.log"
    users >users-before.txt
    env KELVASYNC_PROGRAM_FILES="$work/kv/product" "$@" "$service" --once </dev/null >cycle-out.txt 2>&1 || rc=$?
    if [ "$rc" != "$code" ]; then
      echo "FAIL (kerberos, $what): exit $rc, not $code"; cat "$product/data/kelvasync.log" cycle-out.txt
      return 1
    fi
    if ! grep -aqF -- "$text" "$product/data/kelvasync.log"; then
      echo "FAIL (kerberos, $what): no line with: $text"; cat "$product/data/kelvasync.log"; return 1
    fi
    if [ "$code" != 0 ] && ! users | cmp -s - users-before.txt; then
      echo "FAIL (kerberos, $what): the HSM's users changed"; users; return 1
    fi
    echo "ok (kerberos, $what)"
  }
  local k=0 error="[Erro] Nao foi possivel conectar no Controlador de Dominio (DC) com a identidade do proprio servico (Kerberos): "
  ini ""
  cycle "keytab from the environment, missing" 2 "${error}o keytab '$work/absent.keytab' (KRB5_CLIENT_KTNAME) nao existe" \
    KRB5_CLIENT_KTNAME="$work/absent.keytab" || k=1
  ini "keytab=$work/kv.keytab"
  # Samba as provisioned wants signing or sealing inside TLS: an Erro among
  # the Kerberos causes, naming the setting; then the DC is told.
  cycle "a DC that wants signing inside TLS" 2 "${error}bind GSSAPI: LDAP 8: Strong(er) authentication required; SASL:[GSSAPI]: Sign or Seal are required.; o DC exige assinatura ou cifragem do SASL (sign/seal) dentro do TLS, que o servico nao usa: num DC Samba, defina 'ldap server require strong auth = allow_sasl_over_tls'" ||
    k=1
  sed -i 's/^\[global\]$/[global]\n\tldap server require strong auth = allow_sasl_over_tls/' "$work/dc/etc/smb.conf"
  stop_samba && start_samba || return 1
  cycle "KDC not answering" 2 "${error}nenhum KDC do dominio $realm respondeu" KRB5_CONFIG="$work/krb5-nokdc.conf" ||
    k=1
  cycle "clock an hour ahead" 2 "${error}o relogio deste computador difere do relogio do KDC" \
    faketime -f +1h || k=1
  mkdir -p "$work/no-sasl-modules"
  cycle "no SASL GSSAPI module" 2 "${error}bind GSSAPI: o mecanismo GSSAPI do SASL nao estah instalado" \
    SASL_PATH="$work/no-sasl-modules" || k=1
  # A keytab anyone may read is as good as a published password: said at
  # start and by the check, and the bind still works.
  chmod 644 "$work/kv.keytab"
  KELVASYNC_PROGRAM_FILES="$work/kv/product" "$check_tool" >check.txt 2>&1
  if ! grep -qF "bind Kerberos (GSSAPI) com o keytab $work/kv.keytab ([activedirectory] keytab), principal $svc@$realm" \
       check.txt || ! grep -q "grupo lido: sim" check.txt ||
     ! grep -qF "ATENCAO  activedirectory.keytab: $work/kv.keytab pode ser lido por outros usuarios" check.txt; then
    echo "FAIL (kerberos, kelvasync-check)"; cat check.txt; k=1
  else
    echo "ok (kerberos, kelvasync-check)"
  fi
  # The tickets stay in the process's memory: the credential cache that
  # KRB5CCNAME names is never written.
  cycle "good keytab" 0 "Quantidade de usuarios encontrados no Grupo: 2" KRB5CCNAME="FILE:$work/krb5cc" || k=1
  if ! grep -aqF "[Atencao] O keytab '$work/kv.keytab' ([activedirectory] keytab) pode ser lido por outros usuarios" \
       "$product/data/kelvasync.log"; then
    echo "FAIL (kerberos, good keytab): no warning for a keytab others may read"; k=1
  fi
  chmod 600 "$work/kv.keytab"
  if [ -e "$work/krb5cc" ]; then echo "FAIL (kerberos, good keytab): tickets written to $work/krb5cc"; k=1; fi
  if users | grep -q "$leaver" || ! users | grep -q "$id1" || ! users | grep -q "$id2"; then
    echo "FAIL (kerberos, good keytab): the cycle did not apply the group"; users; k=1
  fi
  # The DC found through DNS (the site's SRV records, then the domain's),
  # in a mount namespace whose resolv.conf names the DC's own DNS, and bound
  # by Kerberos as ldap/<the DC's name>: the SPN of its address is gone.
  # The DC read is named in the log and in the status file. (Samba gives
  # its DC the HOST/ principals only, where Active Directory registers
  # ldap/<DC name>: added here. It puts the DC's own address record into
  # its DNS only through its dnsupdate service: the namespace's hosts file
  # gives the name's address.)
  samba-tool spn add ldap/kvdc.kvtest.local 'KVDC$' -H "$work/dc/private/sam.ldb" >>tool.log 2>&1 &&
    samba-tool spn delete ldap/127.0.0.1 'KVDC$' -H "$work/dc/private/sam.ldb" >>tool.log 2>&1 ||
    { cat tool.log; return 1; }
  printf 'nameserver 127.0.0.1\n' >"$work/resolv-dc.conf"
  printf 'nameserver 127.0.0.3\n' >"$work/resolv-silent.conf"
  { cat /etc/hosts; printf '127.0.0.1 kvdc.kvtest.local\n'; } >"$work/hosts"
  local in_ns="mount --bind \"\$0\" /etc/resolv.conf && mount --bind '$work/hosts' /etc/hosts && exec \"\$@\""
  "$emulator" add-user --state "$state" --name "$leaver" --password pw-leaver >>hsm-admin.log 2>&1
  ini "keytab=$work/kv.keytab" "dns:kvtest.local" "site=Default-First-Site-Name"
  cycle "DC found in DNS, Kerberos bind by its name" 0 "[Info] Controlador de Dominio (DC) lido: kvdc.kvtest.local:389" \
    unshare --mount sh -c "$in_ns" "$work/resolv-dc.conf" || k=1
  if ! grep -qx "dc=kvdc.kvtest.local:389" "$product/data/kelvasync.status" || users | grep -q "$leaver"; then
    echo "FAIL (kerberos, DNS): the status file does not name the DC, or the cycle did not apply the group"
    cat "$product/data/kelvasync.status"; k=1
  fi
  # Every DC of a list with a result of its own: one that refuses, the one
  # read, and one probed after the read.
  ini "keytab=$work/kv.keytab" "127.0.0.1:1 kvdc.kvtest.local,127.0.0.1:2"
  KELVASYNC_PROGRAM_FILES="$work/kv/product" unshare --mount sh -c "$in_ns" "$work/resolv-dc.conf" "$check_tool" \
    >check-dcs.txt 2>&1
  if ! grep -qF "grupo lido: sim (DC kvdc.kvtest.local)" check-dcs.txt ||
     ! grep -qF "DC 127.0.0.1:1: pulado: nao foi possivel conectar (conexao: LDAP -1" check-dcs.txt ||
     ! grep -qF "DC kvdc.kvtest.local: grupo lido" check-dcs.txt ||
     ! grep -qF "DC 127.0.0.1:2: bind recusado: conexao: LDAP -1" check-dcs.txt; then
    echo "FAIL (kerberos, kelvasync-check with a list of DCs)"; cat check-dcs.txt; k=1
  else
    echo "ok (kerberos, kelvasync-check with a list of DCs)"
  fi
  # A DNS server that never answers: one bounded lookup, said in the log.
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.3", 53))
while True: s.recvfrom(512)' </dev/null >/dev/null 2>&1 &
  local silent_dns=$!
  for _ in $(seq 1 50); do ss -lun | grep -q '127.0.0.3:53 ' && break; sleep 0.1; done
  ini "keytab=$work/kv.keytab" "dns:kvtest.local"
  local t0=$SECONDS
  cycle "a DNS server that never answers" 2 "nenhum DC de kvtest.local encontrado no DNS (_ldap._tcp.dc._msdcs.kvtest.local: nenhum servidor DNS respondeu em 3 s)" \
    unshare --mount sh -c "$in_ns" "$work/resolv-silent.conf" || k=1
  kill "$silent_dns" 2>/dev/null
  if [ $((SECONDS - t0)) -gt 15 ]; then echo "FAIL (kerberos, silent DNS): the cycle took $((SECONDS - t0)) s"; k=1; fi
  ini "keytab=$work/kv.keytab"
  # The account's password reset: the keytab's keys are stale.
  samba-tool user setpassword $svc --newpassword='Kv-Servico.2' -H "$work/dc/private/sam.ldb" >>tool.log 2>&1 ||
    { cat tool.log; return 1; }
  "$emulator" add-user --state "$state" --name "$leaver" --password pw-leaver >>hsm-admin.log 2>&1
  cycle "stale keytab" 2 "${error}as chaves do keytab '$work/kv.keytab' ([activedirectory] keytab) nao conferem" ||
    k=1
  samba-tool user delete $svc -H "$work/dc/private/sam.ldb" >>tool.log 2>&1 || { cat tool.log; return 1; }
  cycle "account deleted" 2 "${error}o principal $svc@$realm do keytab '$work/kv.keytab'" || k=1
  return $k
}
if [ -n "$service" ]; then kerberos_cycles || failures=$((failures + 1)); fi

echo "total $(( $(date +%s) - started )) s"
[ $failures -eq 0 ]

#!/usr/bin/env bash
# Starts a throwaway OpenLDAP slapd with Active Directory's schema essentials
# for the directory tests and benchmarks.
#
#   start-slapd.sh DIR LDIF [WATCH_PID]
#
# DIR      an empty folder for the server's files (database, config, certs)
# LDIF     entries to load (with memberOf already filled in: slapadd bypasses
#          the memberof overlay); the suffix is dc=kelvasync,dc=test
# WATCH_PID  when given, slapd is stopped as soon as that process ends, so
#          a test that crashes cannot leave a server behind
#
# Prints one line "PORT PID" (StartTLS on ldap://127.0.0.1:PORT) and returns
# once the server answers. Stop it with `kill PID` (or let WATCH_PID end).
# With KV_SLAPD_ANY_TRANSPORT=1 the server also takes binds and searches in
# clear on that loopback port (StartTLS stays available) and listens for
# LDAPS on the port written to DIR/ldaps.port: for clients that must be
# tried over each transport. Without it, nothing but StartTLS travels in clear.
# Certificates: DIR/ca.pem is a test CA; the server's certificate names
# 127.0.0.1 and localhost. Point libldap at it with LDAPTLS_CACERT=DIR/ca.pem.
# KV_SLAPD_CERT_NAME, when set, is the one DNS name the certificate names
# instead: a server whose certificate is for another name than the one it
# is reached by.
# Accounts: cn=admin,dc=kelvasync,dc=test / admin (manager), and whatever the
# LDIF holds (userPassword in clear is accepted).
# SLAPD_EXTRA_ACCESS, when set, holds slapd access rules (slapd.access(5)
# lines) that go before the built-in ones, e.g. to hide an attribute from
# one account; end each with "by * break" to leave other accounts alone.
set -euo pipefail
dir=$1
ldif=$2
watch=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
schema=$here/../tests/directory/ad-like.schema
slapd=$(command -v slapd || echo /usr/sbin/slapd)
slapadd=$(command -v slapadd || echo /usr/sbin/slapadd)

mkdir -p "$dir/db"
cd "$dir"

# Test CA and a server certificate for 127.0.0.1.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kelvasync test CA" \
  -keyout ca.key -out ca.pem >/dev/null 2>&1
cert_name=${KV_SLAPD_CERT_NAME:-}
names="IP:127.0.0.1,DNS:localhost"
[ -n "$cert_name" ] && names="DNS:$cert_name"
openssl req -newkey rsa:2048 -nodes -subj "/CN=${cert_name:-127.0.0.1}" -keyout server.key -out server.csr \
  >/dev/null 2>&1
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$names" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem >/dev/null 2>&1
chmod 600 server.key

any_transport=${KV_SLAPD_ANY_TRANSPORT:-0}
security="# Everything but StartTLS itself needs TLS: no password travels in clear.
security tls=1"
[ "$any_transport" = 1 ] && security="# Clear text accepted on loopback (KV_SLAPD_ANY_TRANSPORT=1)."

cat >slapd.conf <<EOF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $schema
modulepath /usr/lib/ldap
moduleload back_mdb
moduleload memberof
pidfile $dir/slapd.pid
TLSCACertificateFile $dir/ca.pem
TLSCertificateFile $dir/server.pem
TLSCertificateKeyFile $dir/server.key
$security
sizelimit unlimited

database mdb
maxsize 1073741824
suffix "dc=kelvasync,dc=test"
rootdn "cn=admin,dc=kelvasync,dc=test"
rootpw admin
directory $dir/db
index objectClass eq
index memberOf eq
${SLAPD_EXTRA_ACCESS:-}
# One member no account but the manager may read: an unreadable member.
access to dn.exact="cn=Oculto,ou=Users,dc=kelvasync,dc=test" by * none
# A whole OU no account but the manager may read: members kept out of view.
access to dn.subtree="ou=Restrito,dc=kelvasync,dc=test" by * none
# Reads that only look complete, for the service account: one group's whole
# member attribute, one value of another's, one user's objectClass, and
# another user's class "user" alone.
access to dn.exact="cn=Sem Membros,ou=Groups,dc=kelvasync,dc=test" attrs=member
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.exact="cn=Um Oculto,ou=Groups,dc=kelvasync,dc=test" attrs=member
    val.exact="cn=Bia,ou=Users,dc=kelvasync,dc=test"
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.exact="cn=Sem Classe,ou=Users,dc=kelvasync,dc=test" attrs=objectClass
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.exact="cn=Classe Parcial,ou=Users,dc=kelvasync,dc=test" attrs=objectClass val=user
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
# One user's logon; and a group the service account sees neither in member
# nor in any memberOf (a read that comes back empty); and one value of a
# group whose two members differ in case only.
access to dn.exact="cn=Logon Oculto,ou=Users,dc=kelvasync,dc=test" attrs=sAMAccountName
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.exact="cn=Nenhum Visivel,ou=Groups,dc=kelvasync,dc=test" attrs=member
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.subtree="dc=kelvasync,dc=test" attrs=memberOf
    val.exact="cn=Nenhum Visivel,ou=Groups,dc=kelvasync,dc=test"
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to dn.exact="cn=Exato Oculto,ou=Groups,dc=kelvasync,dc=test" attrs=member
    val.exact="kvExactName=dup,ou=Users,dc=kelvasync,dc=test"
  by dn.exact="cn=svc,ou=Users,dc=kelvasync,dc=test" none by * break
access to attrs=userPassword by anonymous auth by * none
access to * by users read by anonymous auth
overlay memberof
memberof-group-oc group
memberof-member-ad member
memberof-memberof-ad memberOf
memberof-dangling ignore
EOF

"$slapadd" -q -f slapd.conf -l "$ldif" >slapadd.log 2>&1 || { cat slapadd.log >&2; exit 1; }

# Whether the server answers (a certificate for another name is not the
# probe's business).
probe_env=("LDAPTLS_CACERT=$dir/ca.pem")
[ -n "$cert_name" ] && probe_env+=(LDAPTLS_REQCERT=allow)
for attempt in 1 2 3 4 5 6 7 8; do
  port=$((20000 + RANDOM % 40000))
  urls="ldap://127.0.0.1:$port/"
  [ "$any_transport" = 1 ] && urls="$urls ldaps://127.0.0.1:$((port + 1))/"
  rm -f slapd.pid
  "$slapd" -f slapd.conf -h "$urls" -d 0 >slapd.log 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do
    if env "${probe_env[@]}" ldapsearch -ZZ -x -H "ldap://127.0.0.1:$port" -s base -b "" -LLL \
         "(objectClass=*)" namingContexts >/dev/null 2>&1; then
      if [ -n "$watch" ]; then
        (while kill -0 "$watch" 2>/dev/null && kill -0 "$pid" 2>/dev/null; do sleep 1; done; kill "$pid" 2>/dev/null) \
          >/dev/null 2>&1 </dev/null &
      fi
      [ "$any_transport" = 1 ] && echo $((port + 1)) >ldaps.port
      echo "$port $pid"
      exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
done
cat slapd.log >&2
echo "slapd did not start" >&2
exit 1

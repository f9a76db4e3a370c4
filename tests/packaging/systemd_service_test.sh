#!/usr/bin/env bash
# The Debian package under a real systemd (PID 1): a Debian 12 root made
# once by systemd_root.sh and kept in build/systemd-root, booted with
# systemd-nspawn without network and with its changes in memory only
# (--volatile=overlay), the packages of this build installed in it over the
# files an earlier version left, the lab's slapd and HSM emulator started
# inside with systemd-run. It checks the service's account and folders, the
# sandbox's score, READY and STATUS= after a full cycle and that cycle's HSM
# changes, the journal's priorities, the service's own rotation and
# logrotate's, stop, restart, a restart after kill -9 but none after exit
# code 6 (another instance), kelvasync-check as the service's account, a
# monitoring account outside the service's group that reads the status and
# the metrics and none of the secrets, the HSM password as a systemd
# credential (kelvasync-check by hand probing a running and a stopped HSM,
# and the command it prints trying the login as the service), an upgrade
# restarting the running service on the new program, and a purge that
# leaves no link of the enabled unit behind.
#   systemd_service_test.sh LINUX_BUILD
# Root only; skipped (exit 77) with one line when not root or when the root
# cannot be made (no access to the Debian archive).
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
skip_unless_root systemd-nspawn
for tool in debootstrap systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || { echo "no $tool (scripts/install-deps.sh --all): skipped"; exit 77; }
done
machine=$root/build/systemd-root
exec 8>"$machine.lock"
flock 8
started=$(date +%s)
if ! "$here/systemd_root.sh" "$machine"; then
  echo "debootstrap could not make the Debian 12 root (no access to the Debian archive? $machine.log): skipped"
  exit 77
fi
echo "root ready after $(($(date +%s) - started)) s"

work=$(mktemp -d)
nspawn=""
cleanup() {
  if [ -n "$nspawn" ]; then
    kill -TERM "$nspawn" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn" 2>/dev/null
    wait "$nspawn" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! "$root/scripts/package.sh" deb "$build" "$work/debs" >"$work/package.out" 2>&1; then
  cat "$work/package.out"
  echo "FAIL: the packages could not be built"
  exit 1
fi

# Boot. Without the unified cgroup hierarchy this kind of host makes units
# fail with 219/CGROUP; the host runs no systemd of its own, so the
# container is neither registered nor given a scope unit (those need the
# host's bus).
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -q -b --private-network --volatile=overlay --register=no --keep-unit \
  -D "$machine" -M "kvtest$$" --bind-ro="$work/debs:/debs" --bind-ro="$root:/src" </dev/null >"$work/boot.log" 2>&1 &
nspawn=$!
# nspawn's first child is a short-lived helper that forks the container's
# init and exits; wait for the child that has become systemd itself.
init=""
for _ in $(seq 1 300); do
  init=$(pgrep -P "$nspawn" -x systemd | head -1)
  [ -n "$init" ] && break
  sleep 0.1
done
# Commands inside: every namespace of the container's init, a plain environment.
inside() { nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
export -f inside
export init
# Until its manager listens it is "offline"; then --wait waits for the boot.
state=""
for _ in $(seq 1 120); do
  state=$(inside timeout 60 systemctl is-system-running --wait 2>&1)
  [ "$state" = running ] || [ "$state" = degraded ] && break
  sleep 0.5
done
check "the container booted with systemd as PID 1 ($state)" test "$state" = running -o "$state" = degraded
[ "$state" = running ] || [ "$state" = degraded ] || { cat "$work/boot.log"; finish; }

# What the version before this one left: a root-owned log (big enough for
# the service's own rotation) and status file beside it, and its lock.
inside bash -c 'mkdir -p /var/log/kelvasync && chmod 750 /var/log/kelvasync &&
  head -c 1100000 /dev/zero | tr "\0" x >/var/log/kelvasync/kelvasync.log &&
  printf "fim_epoch=1\nresultado=completo\nultimo_completo=01/01/2026 00:00:00\nultimo_completo_epoch=1\n" \
    >/var/log/kelvasync/kelvasync.status && : >/var/log/kelvasync/kelvasync.lock'
service_deb=/debs/$(basename "$work"/debs/kelvasync_*.deb)
lab_deb=/debs/$(basename "$work"/debs/kelvasync-lab_*.deb)
inside dpkg -i "$service_deb" "$lab_deb" >"$work/install.out" 2>&1 || cat "$work/install.out"
check "installed" inside dpkg -s kelvasync >/dev/null
inside dpkg -s kelvasync >/dev/null 2>&1 || finish
check "a system account kelvasync without shell or home" \
  bash -c "inside getent passwd kelvasync | grep -q ':/nonexistent:/usr/sbin/nologin$' && inside getent group kelvasync >/dev/null &&
           inside test ! -e /nonexistent"
check "its folders, its own, others kept out (the state folder only passed through)" \
  test "$(inside stat -c '%U:%G %a' /var/log/kelvasync /var/lib/kelvasync /run/kelvasync | tr '\n' ' ')" = \
    "kelvasync:kelvasync 750 kelvasync:kelvasync 751 kelvasync:kelvasync 750 "
check "the INI is root's, readable by the account's group" \
  test "$(inside stat -c '%U:%G %a' /etc/kelvasync/kelvasync.ini)" = "root:kelvasync 640"
check "the earlier version's status moved to /var/lib/kelvasync, its lock gone" \
  bash -c "inside grep -q '^ultimo_completo_epoch=1$' /var/lib/kelvasync/kelvasync.status &&
           inside test ! -e /var/log/kelvasync/kelvasync.status -a ! -e /var/log/kelvasync/kelvasync.lock"
check "its files handed to the account" \
  test "$(inside stat -c %U /var/log/kelvasync/kelvasync.log /var/lib/kelvasync/kelvasync.status | sort -u)" = kelvasync

# The lab: the HSM emulator (master, IntegracaoAD, a former member's user)
# and slapd with the sample group, each a unit of its own.
former=A$(printf '%s' ex-funcionario | md5sum | cut -c2-15)
ana=A$(printf '%s' asouza | md5sum | cut -c2-15)
inside bash -c "hsm-emulator init --state /var/lib/hsm-lab --master-password kv-master-1 &&
  hsm-emulator add-user --state /var/lib/hsm-lab --name IntegracaoAD --password 73905162 &&
  hsm-emulator add-user --state /var/lib/hsm-lab --name $former --password former-pw" >"$work/lab.out" 2>&1
inside systemd-run -q --unit=kv-hsm /usr/bin/hsm-emulator serve --state /var/lib/hsm-lab
inside systemd-run -q -r --unit=kv-ldap /bin/bash -c \
  '/src/scripts/start-slapd.sh /var/lib/ldap-lab /src/scripts/demo/sample-directory.ldif >/run/ldap-lab.port'
for _ in $(seq 1 150); do inside test -s /run/ldap-lab.port && break; sleep 0.2; done
ldap_port=$(inside cut -d' ' -f1 /run/ldap-lab.port)
check "the lab's slapd answers (port ${ldap_port:-none})" test -n "$ldap_port"
ad_pwd=$(printf segredo | inside kelvasync-passwd)
hsm_pwd=$(printf kv-master-1 | inside kelvasync-passwd)
# maxremoval (a typo) is named at start with an Atencao line; maxsizemb=1
# makes the service rotate the 1.1 MB log at its first line.
inside bash -c "cat >/etc/kelvasync/kelvasync.ini" <<INI
[activedirectory]
host=127.0.0.1:$ldap_port
usr=cn=svc,ou=Users,dc=kelvasync,dc=test
pwd=$ad_pwd
group=cn=HSM Operadores,ou=Groups,dc=kelvasync,dc=test
[hsm]
host=127.0.0.1:4433
usr=master
pwd=$hsm_pwd
removeusers=block
maxremoval=3
[log]
maxsizemb=1
INI
inside bash -c 'echo LDAPTLS_CACERT=/var/lib/ldap-lab/ca.pem >>/etc/default/kelvasync'

# Start: READY (systemctl start returns only then), the account, the sandbox.
main_pid() { inside systemctl show -p MainPID --value kelvasync; }
check "systemctl start returns on READY" inside timeout 20 systemctl start kelvasync
pid=$(main_pid)
check "the service runs as kelvasync" test "$(inside ps -o user= -p "$pid")" = kelvasync
check "and is not dumpable (its /proc files are root's)" test "$(inside stat -c %U "/proc/$pid/environ")" = root
score=$(inside systemd-analyze security kelvasync --no-pager 2>/dev/null |
        sed -n 's/.*Overall exposure level for kelvasync.service: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
echo "systemd-analyze security: $score"
check "security score at most 2.0 ($score)" awk -v s="${score%% *}" 'BEGIN { exit !(s != "" && s <= 2.0) }'

# A full cycle (after the 10-second first pause).
for _ in $(seq 1 120); do
  inside systemctl show -p StatusText --value kelvasync | grep -q ': completo' && break
  sleep 0.5
done
status=$(inside systemctl show -p StatusText --value kelvasync)
check "STATUS= after a complete cycle ($status)" grep -q '^ultimo ciclo .*: completo, membros [1-9]' <<<"$status"
inside hsm-emulator list-users --state /var/lib/hsm-lab >"$work/users.out" 2>&1
check "the cycle created a member's HSM user" grep -q "^$ana " "$work/users.out"
check "and blocked the former member's" grep -q "^$former .*blocked=yes" "$work/users.out"
check "the status file in /var/lib/kelvasync, the account's, readable by all (UMask=0027 notwithstanding)" \
  bash -c "inside grep -q '^resultado=completo$' /var/lib/kelvasync/kelvasync.status &&
           test \"\$(inside stat -c '%U %a' /var/lib/kelvasync/kelvasync.status /var/lib/kelvasync/kelvasync.prom \
                     /var/lib/kelvasync/kelvasync.blocked | tr '\n' ' ')\" = 'kelvasync 644 kelvasync 644 kelvasync 640 '"
check "the lock in /run/kelvasync" inside test -f /run/kelvasync/kelvasync.lock
check "the service rotated the old 1.1 MB log itself" inside test -f /var/log/kelvasync/kelvasync.1.log
# The mistyped key is held against every cycle: a warning for monitoring.
status_code=0
inside kelvasync-check --status >/dev/null || status_code=$?
check "kelvasync-check --status warns of the mistyped key (1)" test "$status_code" = 1
inside runuser -u kelvasync -- kelvasync-check >"$work/check.out" 2>&1
# (It ends with 1 for the INI's deliberate typo.)
reached() { grep -q "grupo lido: sim" "$work/check.out" && grep -q "usuarios listados: sim" "$work/check.out"; }
reached || cat "$work/check.out"
check "kelvasync-check as the service's account reaches the directory and the HSM's library a session" reached
# Monitoring needs no secret: an account outside the group kelvasync (as
# nagios or node_exporter's prometheus run) reads the status as a plug-in
# and the metrics, also through a link in a textfile collector's folder,
# and none of the INI, the keytab (installed as the guide says), the
# blocked users or the state folder's listing.
inside adduser --system --quiet --no-create-home kvmonitor
inside install -o root -g kelvasync -m 0640 /dev/null /etc/kelvasync/kelvasync.keytab
inside bash -c 'mkdir -p /var/lib/prometheus/node-exporter &&
  ln -sf /var/lib/kelvasync/kelvasync.prom /var/lib/prometheus/node-exporter/kelvasync.prom'
monitor() { inside runuser -u kvmonitor -- "$@"; }
export -f monitor
plugin_code=0
monitor kelvasync-check --status --nagios >"$work/monitor.out" 2>&1 || plugin_code=$?
check "the monitoring account reads the status as a plug-in ($plugin_code: $(cat "$work/monitor.out"))" \
  bash -c "test $plugin_code = 1 && grep -q '^KELVASYNC WARNING - ultimo ciclo .* | idade=' '$work/monitor.out'"
check "and the metrics, through the collector's link" \
  bash -c "monitor cat /var/lib/prometheus/node-exporter/kelvasync.prom | grep -q '^kelvasync_members [1-9]'"
for secret in /etc/kelvasync/kelvasync.ini /etc/kelvasync/kelvasync.keytab /var/lib/kelvasync/kelvasync.blocked; do
  check "but not $secret" bash -c "! monitor cat $secret >/dev/null 2>&1"
done
check "nor the state folder's listing" bash -c "! monitor ls /var/lib/kelvasync >/dev/null 2>&1"
if command -v promtool >/dev/null; then
  check "promtool check metrics finds nothing to say about the metrics" \
    bash -c "inside cat /var/lib/kelvasync/kelvasync.prom | promtool check metrics"
fi
# A monitor kept out all the same is told it is a permission.
inside chmod 0750 /var/lib/kelvasync
plugin_code=0
monitor kelvasync-check --status --nagios >"$work/monitor.out" 2>&1 || plugin_code=$?
check "a status the monitor may not read is UNKNOWN, as a permission" \
  bash -c "test $plugin_code = 3 && grep -q 'permissao negada' '$work/monitor.out'"
inside chmod 0751 /var/lib/kelvasync
check "Atencao lines reach the journal as warnings, not errors" \
  bash -c "inside journalctl -u kelvasync -p warning..warning -o cat | grep -q 'Chave desconhecida' &&
           ! inside journalctl -u kelvasync -p err -o cat | grep -q 'Chave desconhecida'"

# logrotate (as the account) while the service runs; the next line starts a new log.
inside logrotate -f /etc/logrotate.d/kelvasync >"$work/logrotate.out" 2>&1
check "logrotate renamed the log without complaint" \
  bash -c "inside test -f /var/log/kelvasync/kelvasync.log.1 -a ! -e /var/log/kelvasync/kelvasync.log && test ! -s '$work/logrotate.out'"

# Stop, between cycles: within 2 s.
before=$(date +%s%N)
inside systemctl stop kelvasync
took=$((($(date +%s%N) - before) / 1000000))
check "stop within 2 s ($took ms)" test "$took" -le 2000
check "a new log after the rotation, the account's" \
  test "$(inside stat -c %U /var/log/kelvasync/kelvasync.log)" = kelvasync
inside systemctl start kelvasync
first=$(main_pid)
inside systemctl restart kelvasync
check "restart" bash -c "inside systemctl is-active -q kelvasync && test '$(main_pid)' != '$first' -a '$(main_pid)' != 0"

# The HSM password as a systemd credential instead of RC4 text in the INI:
# sealed with the host's key by kelvasync-passwd --systemd-creds, handed to
# the service by the drop-in it prints; the next cycle logs in with it.
inside bash -c 'mkdir -p /etc/systemd/system/kelvasync.service.d &&
  printf kv-master-1 | kelvasync-passwd --systemd-creds >/etc/systemd/system/kelvasync.service.d/hsm-pwd.conf 2>/dev/null &&
  sed -i "/^\[hsm\]/,/^\[/ s/^pwd=.*/pwd=credential:hsm-pwd/" /etc/kelvasync/kelvasync.ini && systemctl daemon-reload'
check "the drop-in and the INI hold no readable password" \
  bash -c "inside grep -q '^SetCredentialEncrypted=hsm-pwd:' /etc/systemd/system/kelvasync.service.d/hsm-pwd.conf &&
           ! inside grep -rqa kv-master-1 /etc/systemd/system/kelvasync.service.d /etc/kelvasync"
since=$(inside date +%s)
inside systemctl restart kelvasync
for _ in $(seq 1 120); do
  completed=$(inside sed -n 's/^ultimo_completo_epoch=//p' /var/lib/kelvasync/kelvasync.status)
  [ "${completed:-0}" -ge "$since" ] && break
  sleep 0.5
done
check "a cycle logs in to the HSM with the credential" test "${completed:-0}" -ge "$since"
check "which the monitoring account cannot read" \
  bash -c "inside test -s /run/credentials/kelvasync.service/hsm-pwd &&
           ! monitor cat /run/credentials/kelvasync.service/hsm-pwd >/dev/null 2>&1"

# kelvasync-check run by hand has no credential: it probes the HSM's host,
# does not try the login, and prints the command that tries it as the
# service would, which logs in with the unit's credential. (Exit status 1
# throughout: the INI's deliberate typo.) A stopped HSM is named as such; a
# credential name the unit does not hand over is a bad key.
inside kelvasync-check >"$work/credential.out" 2>&1
check "the check probes the running HSM and does not try the login" \
  bash -c "grep -qx '  conexao: o HSM/Tessel em 127.0.0.1:4433 aceita conexoes' '$work/credential.out' &&
           grep -q '^  login nao tentado: a senha eh a credencial do systemd .hsm-pwd.' '$work/credential.out' ||
           { cat '$work/credential.out'; false; }"
as_service=$(sed -n 's/^  login nao tentado: .*para tenta-lo como o servico, como root: //p' "$work/credential.out")
inside bash -c "$as_service" >"$work/as-service.out" 2>&1
check "the command it prints logs in as the service would" \
  bash -c "grep -q 'usuarios listados: sim' '$work/as-service.out' &&
           grep -q 'a conta \[hsm\] usr alcanca os objetos de IntegracaoAD: sim' '$work/as-service.out' ||
           { cat '$work/as-service.out'; false; }"
inside systemctl stop kv-hsm
plugin_code=0
inside kelvasync-check --nagios >"$work/credential.out" 2>&1 || plugin_code=$?
check "a stopped HSM is CRITICAL, with its cause ($plugin_code: $(cat "$work/credential.out"))" \
  bash -c "test $plugin_code = 2 && grep -q 'nada aceita conexoes em 127.0.0.1:4433' '$work/credential.out'"
inside systemd-run -q --unit=kv-hsm-again /usr/bin/hsm-emulator serve --state /var/lib/hsm-lab
inside sed -i 's/^pwd=credential:hsm-pwd$/pwd=credential:hsm-pwx/' /etc/kelvasync/kelvasync.ini
inside kelvasync-check >"$work/credential.out" 2>&1
check "a credential the unit does not hand over is a bad key" \
  grep -q "INVALIDA hsm.pwd: credencial do systemd 'hsm-pwx': a unidade kelvasync.service nao a entrega" \
    "$work/credential.out"
inside sed -i 's/^pwd=credential:hsm-pwx$/pwd=credential:hsm-pwd/' /etc/kelvasync/kelvasync.ini

# kill -9: restarted (after 1 s here instead of the unit's 30 s).
inside bash -c 'mkdir -p /run/systemd/system/kelvasync.service.d &&
  printf "[Service]\nRestartSec=1s\n" >/run/systemd/system/kelvasync.service.d/test.conf && systemctl daemon-reload'
killed=$(main_pid)
inside systemctl kill -s KILL kelvasync
for _ in $(seq 1 50); do
  now=$(main_pid)
  [ "$now" != 0 ] && [ "$now" != "$killed" ] && inside systemctl is-active -q kelvasync && break
  sleep 0.2
done
check "kill -9 is followed by a restart" test "$(main_pid)" != "$killed" -a "$(main_pid)" != 0

# Another instance (a console run as root) holds the lock: the service ends
# with exit code 6 and is not restarted; once that run ends it starts, on the
# lock file the root run left (handed to the account).
inside systemctl stop kelvasync
inside systemd-run -q --unit=kv-console /usr/bin/kelvasync -c
for _ in $(seq 1 50); do inside grep -q "Modo console" /var/log/kelvasync/kelvasync.log && break; sleep 0.2; done
inside systemctl start kelvasync 2>/dev/null
sleep 3
check "exit code 6 (another instance) is not restarted" \
  test "$(inside systemctl show -p ActiveState --value kelvasync) $(inside systemctl show -p ExecMainStatus --value kelvasync)" = "failed 6"
inside systemctl stop kv-console
check "the lock the root run made is the account's" test "$(inside stat -c %U /run/kelvasync/kelvasync.lock)" = kelvasync
inside systemctl reset-failed kelvasync
check "and the service starts after it" inside systemctl start kelvasync

# An upgrade over the running service restarts it on the new program.
old=$(main_pid)
inside dpkg -i "$service_deb" >"$work/upgrade.out" 2>&1 || cat "$work/upgrade.out"
new=$(main_pid)
check "the upgrade restarted the service ($old -> $new)" \
  bash -c "test '$new' != '$old' -a '$new' != 0 && test \"\$(inside readlink /proc/$new/exe)\" = /usr/bin/kelvasync"

# Enabled, then purged: no link left behind.
inside systemctl enable -q kelvasync
link=/etc/systemd/system/multi-user.target.wants/kelvasync.service
check "enabled" inside test -L "$link"
inside dpkg --purge kelvasync kelvasync-lab >"$work/purge.out" 2>&1 || cat "$work/purge.out"
check "the purge leaves no link, no folder" \
  bash -c "! inside test -e '$link' -o -L '$link' && inside test ! -e /var/lib/kelvasync -a ! -e /var/log/kelvasync"
check "and stopped the service" bash -c "! inside systemctl is-active -q kelvasync"
echo "systemd test took $(($(date +%s) - started)) s"
finish

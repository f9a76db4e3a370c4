#!/usr/bin/env bash
# The Debian packages on this machine: built from the given Linux build and
# clean under lintian; installed with dpkg -i (files, modes, the unit not
# enabled, its account, sandbox and environment file, systemd-analyze verify with
# the manual pages it names); one full cycle of the installed programs against slapd and the
# HSM emulator (scripts/demo.sh --installed); the shipped logrotate rule
# renaming and compressing the log, with a bounded count, while the service
# starts a new log on its next line; the postinst of an upgrade over links
# planted in the service's folders; dpkg -r leaving only the configuration
# (and the log), dpkg --purge removing those too.
set -uo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
skip_unless_root "dpkg -i"
# One installation at a time on this machine, whichever build tree runs it.
exec 8>/run/lock/kelvasync-package-test.lock
flock 8

work=$(mktemp -d)
purge() {
  dpkg --purge kelvasync kelvasync-lab >"$work/purge.out" 2>&1
  rm -rf /var/log/kelvasync.kept /var/lib/kelvasync.kept /var/tmp/kelvasync-bait.*
}
trap 'purge; rm -rf "$work"' EXIT
purge  # leftovers of an interrupted run

packaged=0
"$root/scripts/package.sh" deb "$build" "$work/debs" >"$work/package.out" 2>&1 || packaged=$?
[ $packaged = 0 ] || cat "$work/package.out"
check "both packages built, lintian clean" \
  test $packaged = 0 -a -f "$work/debs/kelvasync_"*.deb -a -f "$work/debs/kelvasync-lab_"*.deb
dpkg -i "$work"/debs/*.deb >"$work/install.out" 2>&1 || cat "$work/install.out"
installed() { dpkg -s kelvasync kelvasync-lab >/dev/null 2>&1; }
check "installed" installed
dpkg -L kelvasync kelvasync-lab | sort -u >"$work/files"
check "programs installed" test -x /usr/bin/kelvasync -a -x /usr/bin/kelvasync-passwd -a -x /usr/bin/hsm-emulator
check "the stand-in client library in its private folder" test -f /usr/lib/kelvasync/libpelorlib.so
check "the unit starts the installed program" grep -qx 'ExecStart="/usr/bin/kelvasync"' /lib/systemd/system/kelvasync.service
check "the unit is not enabled" test ! -e /etc/systemd/system/multi-user.target.wants/kelvasync.service
unit=/lib/systemd/system/kelvasync.service
for line in 'EnvironmentFile=-/etc/default/kelvasync' 'Wants=network-online.target' 'After=network-online.target' \
            'Restart=on-failure' 'NoNewPrivileges=yes' 'ProtectSystem=strict' 'User=kelvasync' 'Group=kelvasync' \
            'LogsDirectory=kelvasync' 'StateDirectory=kelvasync' 'StateDirectoryMode=0751' 'RuntimeDirectory=kelvasync' \
            'CapabilityBoundingSet=' 'UMask=0027' 'LimitCORE=0' 'PrivateTmp=yes' 'ProtectHome=yes'; do
  check "the unit has $line" grep -qxF "$line" "$unit"
done
if command -v systemd-analyze >/dev/null; then
  # A line it cannot parse is only warned about: the output must be empty.
  check "systemd-analyze verify accepts every line of the unit and finds its manual pages" \
    bash -c "systemd-analyze verify '$unit' >'$work/verify.out' 2>&1 && test ! -s '$work/verify.out' ||
             { cat '$work/verify.out'; false; }"
fi
check "the environment file is a conffile" grep -qx /etc/default/kelvasync /var/lib/dpkg/info/kelvasync.conffiles
check "the INI belongs to root, readable by the service's group" \
  test "$(stat -c %a:%U:%G /etc/kelvasync/kelvasync.ini)" = 640:root:kelvasync
product="/opt/Karvell Networks/HSM Karvell"
check "the INI where the service looks" test "$(readlink -f "$product/kelvasync.ini")" = /etc/kelvasync/kelvasync.ini
check "the data folder where the service writes, the service's" \
  test "$(readlink -f "$product/data")" = /var/log/kelvasync -a "$(stat -c %U:%a /var/log/kelvasync)" = kelvasync:750
check "the status and the lock in their own folders" \
  test "$(readlink "$product/state")" = /var/lib/kelvasync -a "$(readlink "$product/run")" = /run/kelvasync

# One cycle of the installed service: the members become HSM users.
"$root/scripts/demo.sh" --installed >"$work/demo.out" 2>&1 || cat "$work/demo.out"
ana=A$(printf '%s' asouza | md5sum | cut -c2-15)
check "the installed service created a member's HSM user" grep -q "^$ana" "$work/demo.out"
log=/var/log/kelvasync/kelvasync.log
check "its log in /var/log/kelvasync" grep -q "Log parado" "$log"

# Rotation: renamed, compressed one rotation later; the service's next line
# starts a new file.
rotate() { logrotate -s "$work/logrotate.state" -f /etc/logrotate.d/kelvasync; }
exec 7<"$log"  # a reader holding the log open does not stop the rotation
rotate
exec 7<&-
check "the log renamed, not yet compressed" grep -q "Log parado" "$log.1"
check "no new file until the service writes" test ! -e "$log"
timeout 60 /usr/bin/kelvasync -c </dev/null >"$work/console.out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do grep -q "Variaveis inicializadas" "$log" 2>/dev/null && break; sleep 0.2; done
kill -INT "$pid" 2>/dev/null
wait "$pid"
check "the service starts a new log after the rotation" grep -q "Log parado" "$log"
for i in $(seq 1 16); do
  echo "linha $i" >>"$log"
  rotate
done
archives=(/var/log/kelvasync/kelvasync.log.[0-9]*)
check "at most 14 old logs are kept" test "${#archives[@]}" -eq 14
check "all but the newest compressed" test -f "$log.1" -a -f "$log.2.gz" -a -f "$log.14.gz"

if [ -x /usr/bin/kelvasync-check ]; then
  check "the installed kelvasync-check reaches the directory and the HSM" \
    grep -qx "kelvasync-check exit code: 0" "$work/demo.out"
  check "and finds the INI root's only" bash -c "! grep -q 'pode ser lido por outros usuarios' '$work/demo.out'"
  # It takes over the service's environment file; its own environment wins.
  cp /etc/default/kelvasync "$work/default.saved"
  echo "KELVASYNC_PROGRAM_FILES=$work/from-default" >>/etc/default/kelvasync
  kelvasync-check --timeout 5 >"$work/check-default.out" 2>&1
  KELVASYNC_PROGRAM_FILES=$work/own kelvasync-check --timeout 5 >"$work/check-own.out" 2>&1
  cp "$work/default.saved" /etc/default/kelvasync
  check "kelvasync-check reads /etc/default/kelvasync" \
    grep -qF "[configuracao] $work/from-default/Karvell Networks/HSM Karvell/kelvasync.ini" "$work/check-default.out"
  check "but a variable of its own environment wins" \
    grep -qF "[configuracao] $work/own/Karvell Networks/HSM Karvell/kelvasync.ini" "$work/check-own.out"
fi

# The postinst of an upgrade, as dpkg runs it, over links planted under
# every name it touches: in turn a symbolic and a hard link to a root-owned
# 0600 file and a symbolic link to a root-owned folder, in folders that are
# the account's and in root's as 1.0.0.5 left them, each with an old log of
# its owner's. No root file changes owner, mode or place, nothing lands in
# the folder, and the folders and the old log end as the account's.
mv -T /var/log/kelvasync /var/log/kelvasync.kept
mv -T /var/lib/kelvasync /var/lib/kelvasync.kept
bait=$(mktemp -d /var/tmp/kelvasync-bait.XXXXXX)  # the file system of /var/log and /var/lib
touched="/var/log/kelvasync/kelvasync.log /var/log/kelvasync/kelvasync.status /var/log/kelvasync/kelvasync.lock
         /var/log/kelvasync/kelvasync.status.tmp /var/lib/kelvasync/kelvasync.status"
untouched() {
  test "$(stat -c '%U:%G %a' "$bait/file" "$bait/folder" | sort -u)" = "root:root 600
root:root 700" -a -z "$(ls -A "$bait/folder")" &&
    test "$(stat -c '%U:%G %a' /var/log/kelvasync /var/lib/kelvasync | tr '\n' ' ')" = \
      "kelvasync:kelvasync 750 kelvasync:kelvasync 751 " &&
    test "$(stat -c %U /var/log/kelvasync/kelvasync.1.log)" = kelvasync
}
for owner in kelvasync root; do
  for link in "symbolic file" "hard file" "symbolic folder"; do
    rm -rf /var/log/kelvasync /var/lib/kelvasync "$bait/file" "$bait/folder"
    echo secret >"$bait/file"
    chmod 600 "$bait/file"
    mkdir -m 700 "$bait/folder"
    install -d -o $owner -g $owner -m 0750 /var/log/kelvasync /var/lib/kelvasync
    install -o $owner -m 0640 /dev/null /var/log/kelvasync/kelvasync.1.log
    for name in $touched; do
      if [ "${link% *}" = hard ]; then ln "$bait/file" "$name"; else ln -s "$bait/${link#* }" "$name"; fi
    done
    /var/lib/dpkg/info/kelvasync.postinst configure 1.0.0.5 >"$work/postinst.out" 2>&1 || cat "$work/postinst.out"
    check "postinst over a $link link in folders of $owner leaves root's files alone" untouched
  done
done
rm -rf /var/log/kelvasync /var/lib/kelvasync "$bait"
mv -T /var/log/kelvasync.kept /var/log/kelvasync
mv -T /var/lib/kelvasync.kept /var/lib/kelvasync

# Removal keeps the configuration and the log; purging removes them.
dpkg -r kelvasync kelvasync-lab >"$work/remove.out" 2>&1 || cat "$work/remove.out"
left=()
while IFS= read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && continue
  left+=("$path")
done <"$work/files"
check "dpkg -r leaves only the configuration: ${left[*]}" \
  test "${left[*]}" = "/etc/default/kelvasync /etc/kelvasync/kelvasync.ini /etc/logrotate.d/kelvasync"
check "dpkg -r leaves no folder of its own but the configuration's and the log's" \
  test ! -e "/opt/Karvell Networks" -a ! -e /usr/lib/kelvasync -a ! -e /usr/share/doc/kelvasync \
       -a -n "$(ls /var/log/kelvasync)"
purge
check "dpkg --purge removes the configuration, the log and the status" \
  test ! -e /etc/kelvasync -a ! -e /etc/logrotate.d/kelvasync -a ! -e /etc/default/kelvasync -a ! -e /var/log/kelvasync \
       -a ! -e /var/lib/kelvasync
check "nothing left in dpkg's records" bash -c "! dpkg -s kelvasync >/dev/null 2>&1 && ! dpkg -s kelvasync-lab >/dev/null 2>&1"
finish

#!/usr/bin/env bash
# Makes, once, the Debian 12 root that the systemd test boots:
#   tests/packaging/systemd_root.sh ROOT
# debootstrap's minimal variant with systemd as init, and what the packages
# and the lab need inside (slapd and its tools, openssl for the test CA,
# logrotate, adduser for the package's account). The root is complete when
# ROOT/.complete exists; an interrupted run is started over. Exit 0 when the
# root is there, 1 when debootstrap failed (its log is ROOT.log).
set -uo pipefail
root=$1
[ -e "$root/.complete" ] && exit 0
rm -rf "$root"
mkdir -p "$(dirname "$root")"
include=systemd,systemd-sysv,dbus,libpam-systemd,adduser,libldap-2.5-0,libssl3,libsqlite3-0,slapd,ldap-utils,openssl,logrotate,procps
if ! debootstrap --variant=minbase --include="$include" bookworm "$root" http://deb.debian.org/debian \
     >"$root.log" 2>&1; then
  rm -rf "$root"
  exit 1
fi
# No getty, no network set-up waiting for links the container does not have,
# no slapd of its own (the test starts the lab's).
chroot "$root" systemctl mask console-getty.service getty@tty1.service systemd-networkd-wait-online.service slapd.service \
  >>"$root.log" 2>&1
touch "$root/.complete"

#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo and the tests need.
# Does nothing when they are all present; needs root otherwise.
#   scripts/install-deps.sh            build, demo and Linux tests
#   scripts/install-deps.sh --all      also the Windows cross-build, Wine,
#                                      clang for the fuzz targets, and Samba
#                                      (an Active Directory domain controller
#                                      for the acceptance test)
set -euo pipefail
packages=(ca-certificates cmake make g++ pkg-config python3 openssl procps iproute2
          libgtest-dev libssl-dev libsqlite3-dev sqlite3 libsystemd-dev libldap-dev
          slapd ldap-utils systemd)
if [ "${1:-}" = --all ]; then
  packages+=(g++-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev
             samba samba-ad-dc samba-ad-provision)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${missing[*]} (run this script as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"

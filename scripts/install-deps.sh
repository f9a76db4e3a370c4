#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo and the tests need.
# Does nothing when they are all present; needs root otherwise.
#   scripts/install-deps.sh            build, demo and Linux tests
#   scripts/install-deps.sh --all      also the Windows cross-build, Wine,
#                                      clang for the fuzz targets, and Samba
#                                      (an Active Directory domain controller
#                                      for the acceptance test, with
#                                      faketime and krb5-user for its
#                                      Kerberos part), the
#                                      32-bit Windows cross-build and 32-bit
#                                      Wine (adds dpkg's i386 architecture),
#                                      and the packaging tools (dpkg-dev,
#                                      lintian, logrotate, wixl, msitools),
#                                      and debootstrap and systemd-nspawn for
#                                      the test that boots a real systemd,
#                                      and prometheus (promtool) for the
#                                      example alert rules' test
set -euo pipefail
packages=(ca-certificates cmake make g++ pkg-config python3 openssl procps iproute2
          libgtest-dev libssl-dev libsqlite3-dev sqlite3 libsystemd-dev libldap-dev
          slapd ldap-utils systemd locales python3-prometheus-client
          libkrb5-dev libsasl2-dev libsasl2-modules-gssapi-mit)
if [ "${1:-}" = --all ]; then
  packages+=(g++-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev
             samba samba-ad-dc samba-ad-provision faketime krb5-user
             g++-mingw-w64-i686-posix wine32:i386
             dpkg-dev lintian logrotate wixl msitools
             debootstrap systemd-container prometheus)
fi
# A console run sets a Portuguese locale; the tests that check identifiers
# do not depend on it need one whose C library lowers accented letters.
ensure_locale() {
  locale -a 2>/dev/null | grep -qix 'pt_BR\.iso88591' && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing locale pt_BR.ISO-8859-1 (run this script as root to generate it)" >&2
    return 1
  fi
  localedef -i pt_BR -f ISO-8859-1 pt_BR.ISO-8859-1
}
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${missing[*]} (run this script as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
ensure_locale

#!/usr/bin/env bash
# Builds every installable package into build/packages/:
#
#   kelvasync_<version>_amd64.deb        the service for Debian 12
#   kelvasync-lab_<version>_amd64.deb    stand-in client library and HSM
#                                        emulator, for test machines only
#   kelvasync-<version>-x64.msi          the service for 64-bit Windows, with
#   kelvasync-<version>-x86.msi          a 64-bit or a 32-bit kelvasync.exe
#   kelvasync-lab-<version>-x64.msi      the stand-in pelorlib.dll of each
#   kelvasync-lab-<version>-x86.msi      build, for test machines only
#
#   scripts/package.sh
#       installs what it needs, builds the linux, windows and windows-x86
#       presets, then every package
#   scripts/package.sh deb LINUX_BUILD OUT
#       the two Debian packages of an existing Linux build, checked by lintian
#   scripts/package.sh msi WINDOWS_BUILD LINUX_BUILD OUT
#       the two MSIs of an existing Windows build (the Linux build supplies
#       the service's registration texts, as `kelvasync -i` writes them)
#
# kelvasync-check goes into the packages when its build has it.
set -euo pipefail
umask 022
root=$(cd "$(dirname "$0")/.." && pwd)
packaging=$root/packaging

die() { echo "package.sh: $*" >&2; exit 1; }

version() { sed -n 's/^project(kelvasync VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"; }

cache_value() {  # cache_value <build> <name>
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# The systemd unit that `kelvasync -i` of the Linux build writes; its first
# line carries the service description, its Description= the display name.
service_unit() {  # service_unit <linux build> <folder>
  local program=$1/src/service/kelvasync
  [ -x "$program" ] || die "no $program: build the linux preset first"
  mkdir -p "$2"
  KELVASYNC_UNIT_DIR=$2 KELVASYNC_PROGRAM_FILES='' "$program" -i >"$2/install.out" 2>&1 </dev/null || true
  [ -f "$2/kelvasync.service" ] || die "kelvasync -i wrote no unit: $(cat "$2/install.out")"
}

changelog() {  # changelog <package> <email>: a Debian changelog, gzipped
  local when
  when=$(date -R -d "@$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)")
  printf '%s (%s) stable; urgency=medium\n\n  * Release %s.\n\n -- Karvell Networks <%s>  %s\n' \
    "$1" "$(version)" "$(version)" "$2" "$when" | gzip -9n
}

# Fills in a control template and writes the package's DEBIAN folder.
control() {  # control <stage> <template> <email> <depends>
  local stage=$1 size
  mkdir -p "$stage/DEBIAN"
  size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
  sed -e "s/@VERSION@/$(version)/" -e "s/@ARCH@/$(dpkg --print-architecture)/" \
      -e "s/@EMAIL@/$3/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$4/" "$2" >"$stage/DEBIAN/control"
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0r md5sum) >"$stage/DEBIAN/md5sums"
  [ -s "$stage/DEBIAN/md5sums" ] || rm "$stage/DEBIAN/md5sums"
}

# The shared-library dependencies of the given programs; the client library
# is found among the stand-in's files but depended on by no package (the
# HSM maker's library takes its place).
shlib_depends() {  # shlib_depends <work> <library dir> <program...>
  local work=$1 libdir=$2
  shift 2
  mkdir -p "$work/shlibs/debian"
  printf 'Source: kelvasync\n\nPackage: kelvasync\nArchitecture: any\n' >"$work/shlibs/debian/control"
  (cd "$work/shlibs" && dpkg-shlibdeps -O --ignore-missing-info -l"$libdir" "$@" 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p'
}

doc_files() {  # doc_files <stage> <package> <email>
  local doc=$1/usr/share/doc/$2
  install -d "$doc"
  sed "s/@EMAIL@/$3/" "$packaging/debian/copyright" >"$doc/copyright"
  changelog "$2" "$3" >"$doc/changelog.gz"
}

# The manual page of every program in the package (lintian insists on one),
# and of its configuration file (kelvasync.ini.5).
man_pages() {  # man_pages <stage>
  local program page section
  for program in "$1"/usr/bin/*; do
    for page in "$packaging/debian/man/$(basename "$program")".[1-8] \
                "$packaging/debian/man/$(basename "$program")".ini.[1-8]; do
      [ -f "$page" ] || continue
      section=${page##*.}
      install -d "$1/usr/share/man/man$section"
      gzip -9n <"$page" >"$1/usr/share/man/man$section/$(basename "$page").gz"
    done
  done
}

build_deb() {  # build_deb <linux build> <out>
  local build out work email service lab product bin program
  build=$(cd "$1" && pwd)
  mkdir -p "$2"
  out=$(cd "$2" && pwd)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  email=$(cache_value "$build" KELVASYNC_SUPPORT_EMAIL)
  service=$work/kelvasync
  lab=$work/kelvasync-lab

  # The lab package first: its client library satisfies the programs' needs
  # while their dependencies are worked out.
  cmake --install "$build" --prefix "$lab/usr" --component lab --strip >/dev/null
  chmod 644 "$lab"/usr/lib/kelvasync/*.so
  install -d "$lab/usr/share/doc/kelvasync-lab"
  install -m 644 "$packaging/lab-note.txt" "$lab/usr/share/doc/kelvasync-lab/README"
  doc_files "$lab" kelvasync-lab "$email"
  man_pages "$lab"

  cmake --install "$build" --prefix "$service/usr" --component service --strip >/dev/null
  product="$service/opt/Karvell Networks/HSM Karvell"
  install -d "$service/lib/systemd/system" "$service/etc/kelvasync" "$service/etc/logrotate.d" \
    "$service/etc/default" "$product" "$service/usr/share/lintian/overrides"
  service_unit "$build" "$work/unit"
  # The unit of `kelvasync -i` (its sandbox included), with the installed
  # program, its manual pages, and the service's own account and folders
  # (kelvasync.service-account) in place of the data folder written by hand:
  # systemd makes those writable and gives them to the account. The
  # product folder's data, state and run are links to them. The account
  # and the folders are made by the postinst (the lock's folder at every
  # boot by the tmpfiles rule).
  sed -e 's|^ExecStart=.*|ExecStart="/usr/bin/kelvasync"|' \
      -e 's|^\(Description=.*\)$|\1\nDocumentation=man:kelvasync(8) man:kelvasync.ini(5) man:kelvasync-check(8)|' \
      -e "/^ExecStart=/r $packaging/debian/kelvasync.service-account" \
      -e '/^ReadWritePaths=/d' "$work/unit/kelvasync.service" \
    >"$service/lib/systemd/system/kelvasync.service"
  chmod 644 "$service/lib/systemd/system/kelvasync.service"
  install -d "$service/usr/lib/tmpfiles.d"
  install -m 644 "$packaging/debian/kelvasync.tmpfiles" "$service/usr/lib/tmpfiles.d/kelvasync.conf"
  # The INI holds the HSM administrator's password: root writes it, the
  # service's group (set by the postinst) reads it.
  install -m 640 "$packaging/kelvasync.ini" "$service/etc/kelvasync/kelvasync.ini"
  install -m 644 "$packaging/debian/kelvasync.logrotate" "$service/etc/logrotate.d/kelvasync"
  install -m 644 "$packaging/debian/kelvasync.default" "$service/etc/default/kelvasync"
  ln -s /etc/kelvasync/kelvasync.ini "$product/kelvasync.ini"
  ln -s /var/log/kelvasync "$product/data"
  ln -s /var/lib/kelvasync "$product/state"
  ln -s /run/kelvasync "$product/run"
  install -m 644 "$packaging/debian/kelvasync.lintian-overrides" "$service/usr/share/lintian/overrides/kelvasync"
  doc_files "$service" kelvasync "$email"
  man_pages "$service"

  bin=()
  for program in "$service"/usr/bin/*; do bin+=("$program"); done
  control "$service" "$packaging/debian/kelvasync.control" "$email" \
    "adduser, $(shlib_depends "$work" "$lab/usr/lib/kelvasync" "${bin[@]}")"
  printf '/etc/kelvasync/kelvasync.ini\n/etc/logrotate.d/kelvasync\n/etc/default/kelvasync\n' \
    >"$service/DEBIAN/conffiles"
  install -m 755 "$packaging/debian/kelvasync.postinst" "$service/DEBIAN/postinst"
  install -m 755 "$packaging/debian/kelvasync.prerm" "$service/DEBIAN/prerm"
  install -m 755 "$packaging/debian/kelvasync.postrm" "$service/DEBIAN/postrm"
  control "$lab" "$packaging/debian/kelvasync-lab.control" "$email" \
    "$(shlib_depends "$work" "$lab/usr/lib/kelvasync" "$lab"/usr/bin/* "$lab"/usr/lib/kelvasync/*.so)"

  local arch debs=()
  arch=$(dpkg --print-architecture)
  for package in kelvasync kelvasync-lab; do
    dpkg-deb --root-owner-group -Zxz --build "$work/$package" "$out/${package}_$(version)_$arch.deb" >/dev/null
    debs+=("$out/${package}_$(version)_$arch.deb")
  done
  lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" || die "lintian found faults"
  printf '%s\n' "${debs[@]}"
}

# Runs wixl in a folder holding every file the package names, then lets
# the package replace an installed one of the same version (a rebuild, or
# the other architecture): the upgrade's version range includes its upper
# end (msidbUpgradeAttributesVersionMaxInclusive, 0x200).
wixl_in() {  # wixl_in <folder> <arch> <wxs> <msi> [-D ...]
  local folder=$1 arch=$2 wxs=$3 msi=$4
  shift 4
  cp "$wxs" "$folder/"
  (cd "$folder" && LC_ALL=C.UTF-8 wixl -a "$arch" -D Version="$(version)" -D Arch="$arch" "$@" \
      -o "$msi" "$(basename "$wxs")") || die "wixl failed for $(basename "$msi")"
  local code
  code=$(msiinfo export "$msi" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r' | tr a-f A-F)
  msibuild "$msi" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$code', '$(version)', 513, 'WIX_UPGRADE_DETECTED')" ||
    die "msibuild failed for $(basename "$msi")"
}

# Unattended installation, what wixl cannot say:
#  - START_TYPE (manual or auto) picks one of the two components that
#    install kelvasync.exe with its ServiceInstall row.
#  - the event source's EventMessageFile as REG_EXPAND_SZ (the "#%"
#    prefix), as Windows registers it.
#  - public properties for the INI values, written into kelvasync.ini by
#    WriteIniValues through the IniFile table, whose rows belong to the
#    ConfigIni component: only when the MSI puts the INI there, never into
#    one that exists. UPDATE_MINUTES and MAX_REMOVALS default to the
#    sample's values, the others to its empty ones; the passwords are given
#    as kelvasync-passwd prints them and kept out of the installer's log.
#  - recovery: restart one minute after the first and the second failure,
#    nothing after the third; the count is reset after a day without one
#    (MsiServiceConfigFailureActions, Windows Installer 5).
ini_values=(
  "activedirectory host AD_HOST" "activedirectory usr AD_USER" "activedirectory pwd AD_PASSWORD"
  "activedirectory group AD_GROUP" "activedirectory updatefrequencyinminutes UPDATE_MINUTES"
  "hsm host HSM_HOST" "hsm usr HSM_USER" "hsm pwd HSM_PASSWORD" "hsm removeusers REMOVE_USERS"
  "hsm maxremovals MAX_REMOVALS"
)
unattended_msi() {  # unattended_msi <msi>
  local msi=$1 entry section key property secure queries=()
  queries+=(
    "CREATE TABLE \`IniFile\` (\`IniFile\` CHAR(72) NOT NULL, \`FileName\` CHAR(255) NOT NULL, \`DirProperty\` CHAR(72), \`Section\` CHAR(96) NOT NULL, \`Key\` CHAR(128) NOT NULL, \`Value\` CHAR(255) NOT NULL, \`Action\` SHORT NOT NULL, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`IniFile\`)"
    "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteIniValues', 5100)"
    "UPDATE \`Component\` SET \`Condition\` = 'NOT (START_TYPE ~= \"auto\")' WHERE \`Component\` = 'ServiceExe'"
    "UPDATE \`Component\` SET \`Condition\` = 'START_TYPE ~= \"auto\"' WHERE \`Component\` = 'ServiceExeAuto'"
    "UPDATE \`Registry\` SET \`Value\` = '#%[INSTALLDIR]kelvasync.exe' WHERE \`Name\` = 'EventMessageFile'"
    "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('UPDATE_MINUTES', '3')"
    "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('MAX_REMOVALS', '10')"
    "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('MsiHiddenProperties', 'AD_PASSWORD;HSM_PASSWORD')"
  )
  secure="START_TYPE;SERVICE_ACCOUNT"
  for entry in "${ini_values[@]}"; do
    read -r section key property <<<"$entry"
    queries+=("INSERT INTO \`IniFile\` (\`IniFile\`, \`FileName\`, \`DirProperty\`, \`Section\`, \`Key\`, \`Value\`, \`Action\`, \`Component_\`) VALUES ('Ini_$property', 'KELVAS~1.INI|kelvasync.ini', 'INSTALLDIR', '$section', '$key', '[$property]', 0, 'ConfigIni')")
    secure="$secure;$property"
  done
  # Properties given on the command line reach the installation's
  # server side only when they are listed as secure.
  local listed
  listed=$(msiinfo export "$msi" Property | sed -n 's/^SecureCustomProperties\t//p' | tr -d '\r')
  queries+=("DELETE FROM \`Property\` WHERE \`Property\` = 'SecureCustomProperties'"
            "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SecureCustomProperties', '${listed:+$listed;}$secure')")
  queries+=(
    "CREATE TABLE \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL, \`Event\` SHORT NOT NULL, \`ResetPeriod\` LONG, \`RebootMessage\` CHAR(255), \`Command\` CHAR(255), \`Actions\` CHAR(255), \`DelayActions\` CHAR(255), \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`MsiServiceConfigFailureActions\`)"
    "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('MsiConfigureServices', 5850)"
  )
  # The service's own SID (NT SERVICE\kelvasync) goes into its token,
  # whatever account it runs as (SERVICE_CONFIG_SERVICE_SID_INFO, 5:
  # SERVICE_SID_TYPE_UNRESTRICTED, 1), so that the ACLs below can name the
  # service without knowing the account's SID.
  queries+=(
    "CREATE TABLE \`MsiServiceConfig\` (\`MsiServiceConfig\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL, \`Event\` SHORT NOT NULL, \`ConfigType\` LONG NOT NULL, \`Argument\` CHAR(0), \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`MsiServiceConfig\`)"
  )
  local component
  for component in ServiceExe ServiceExeAuto; do
    queries+=("INSERT INTO \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\`, \`Name\`, \`Event\`, \`ResetPeriod\`, \`Actions\`, \`DelayActions\`, \`Component_\`) VALUES ('Recovery$component', 'kelvasync', 5, 86400, '1[~]1[~]0', '60000[~]60000[~]0', '$component')")
    queries+=("INSERT INTO \`MsiServiceConfig\` (\`MsiServiceConfig\`, \`Name\`, \`Event\`, \`ConfigType\`, \`Argument\`, \`Component_\`) VALUES ('ServiceSid$component', 'kelvasync', 5, 5, '1', '$component')")
  done
  local args=() query
  for query in "${queries[@]}"; do args+=(-q "$query"); done
  msibuild "$msi" "${args[@]}" || die "msibuild failed for $(basename "$msi")"
}

build_msi() {  # build_msi <windows build> <linux build> <out>
  local build out work arch with_check=no name description msi lab
  build=$(cd "$1" && pwd)
  mkdir -p "$3"
  out=$(cd "$3" && pwd)
  [ -f "$build/bin/kelvasync.exe" ] || die "no $build/bin/kelvasync.exe: build that preset first"
  case "$(x86_64-w64-mingw32-objdump -f "$build/bin/kelvasync.exe" | sed -n 's/.*file format //p')" in
    pei-x86-64) arch=x64 ;;
    pei-i386) arch=x86 ;;
    *) die "$build/bin/kelvasync.exe is no Windows program" ;;
  esac
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mkdir "$work/product" "$work/lab"
  for program in kelvasync kelvasync-passwd; do
    [ -f "$build/bin/$program.exe" ] || die "no $build/bin/$program.exe: build that preset first"
    cp "$build/bin/$program.exe" "$work/product/"
  done
  if [ -f "$build/bin/kelvasync-check.exe" ]; then
    cp "$build/bin/kelvasync-check.exe" "$work/product/"
    with_check=yes
  fi
  sed 's/$/\r/' "$packaging/kelvasync.ini" >"$work/product/kelvasync.ini"

  service_unit "$2" "$work/unit"
  name=$(sed -n 's/^Description=//p' "$work/unit/kelvasync.service")
  description=$(sed -n '1s/^# //p' "$work/unit/kelvasync.service")
  case "$name$description" in *'"'*|*'?>'*) die "service texts unfit for wixl: $name / $description" ;; esac
  printf '<?xml version="1.0" encoding="utf-8"?>\n<Include>\n  <?define DisplayName = "%s" ?>\n  <?define Description = "%s" ?>\n</Include>\n' \
    "$name" "$description" >"$work/product/texts.wxi"

  msi=$out/kelvasync-$(version)-$arch.msi
  wixl_in "$work/product" "$arch" "$packaging/windows/kelvasync.wxs" "$msi" -D WithCheck=$with_check
  # What wixl cannot say: kelvasync.ini is installed only when there is none
  # (a file search sets KVINIFOUND, which conditions its component out; and
  # NeverOverwrite, 0x4000, for good measure) and stays on removal
  # (Permanent, 0x10); and it, like the sample, is open to Administrators
  # and SYSTEM only, as it holds the HSM administrator's password (a
  # protected DACL, Windows Installer 5). The data folder likewise, its
  # files inheriting it: a user who could open the log or the instance lock
  # there could make the service lose lines or keep it from starting. The
  # service's own SID may change files in the data folder and, when it runs
  # as another account than LocalSystem (SERVICE_ACCOUNT), read the INI.
  local sddl='D:P(A;;FA;;;SY)(A;;FA;;;BA)'
  # NT SERVICE\kelvasync: S-1-5-80- and the SHA-1 of the upper-case service
  # name in UTF-16LE as five little-endian 32-bit numbers, as Windows derives
  # every service's SID (the same rule gives TrustedInstaller's).
  local service_sid=S-1-5-80-3731125687-3111445822-3133414588-1846911402-1284012461
  local folder_sddl="D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;$service_sid)"
  local ini_sddl="$sddl(A;;FR;;;$service_sid)"
  local local_system='SERVICE_ACCOUNT ~= "LocalSystem"'
  msibuild "$msi" \
    -q "CREATE TABLE \`DrLocator\` (\`Signature_\` CHAR(72) NOT NULL, \`Parent\` CHAR(72), \`Path\` CHAR(255), \`Depth\` SHORT PRIMARY KEY \`Signature_\`, \`Parent\`, \`Path\`)" \
    -q "INSERT INTO \`Signature\` (\`Signature\`, \`FileName\`) VALUES ('ConfigIniSearch', 'kelvasync.ini')" \
    -q "INSERT INTO \`DrLocator\` (\`Signature_\`, \`Path\`, \`Depth\`) VALUES ('ConfigIniSearch', '[ProgramFilesFolder]Karvell Networks\\HSM Karvell', 0)" \
    -q "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('KVINIFOUND', 'ConfigIniSearch')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)" \
    -q "INSERT INTO \`InstallUISequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)" \
    -q "UPDATE \`Component\` SET \`Attributes\` = 16400, \`Condition\` = 'NOT KVINIFOUND' WHERE \`Component\` = 'ConfigIni'" \
    -q "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDL\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)" \
    -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDL\`, \`Condition\`) VALUES ('LockConfigIni', 'ConfigIniFile', 'File', '$sddl', '$local_system')" \
    -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDL\`, \`Condition\`) VALUES ('LockConfigIniService', 'ConfigIniFile', 'File', '$ini_sddl', 'NOT ($local_system)')" \
    -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDL\`) VALUES ('LockSampleIni', 'SampleIniFile', 'File', '$sddl')" \
    -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDL\`) VALUES ('LockDataFolder', 'DataFolder', 'CreateFolder', '$folder_sddl')" ||
    die "msibuild failed for $(basename "$msi")"
  unattended_msi "$msi"

  lab=$out/kelvasync-lab-$(version)-$arch.msi
  cp "$build/bin/pelorlib.dll" "$work/lab/"
  sed 's/$/\r/' "$packaging/lab-note.txt" >"$work/lab/lab-note.txt"
  wixl_in "$work/lab" "$arch" "$packaging/windows/kelvasync-lab.wxs" "$lab"
  printf '%s\n%s\n' "$msi" "$lab"
}

case "${1:-all}" in
  deb)
    [ $# -eq 3 ] || die "usage: $0 deb LINUX_BUILD OUT"
    build_deb "$2" "$3"
    ;;
  msi)
    [ $# -eq 4 ] || die "usage: $0 msi WINDOWS_BUILD LINUX_BUILD OUT"
    build_msi "$2" "$3" "$4"
    ;;
  all)
    [ $# -le 1 ] || die "usage: $0 [deb|msi ...]"
    cd "$root"
    scripts/install-deps.sh --all
    jobs=$(nproc)
    for preset in linux windows windows-x86; do
      cmake --preset "$preset" >/dev/null
      cmake --build "build/$preset" -j"$jobs"
    done
    rm -rf build/packages
    build_deb build/linux build/packages
    build_msi build/windows build/linux build/packages
    build_msi build/windows-x86 build/linux build/packages
    echo "packages in $root/build/packages"
    ;;
  *) die "usage: $0 [deb LINUX_BUILD OUT | msi WINDOWS_BUILD LINUX_BUILD OUT]" ;;
esac

#!/usr/bin/env bash
# The monitoring examples of packaging/monitoring with Debian's promtool:
# the alert rules load, their `promtool test rules` case passes (held back
# and too old, with a failing cycle in between), and the metrics the
# service writes (the cycle report's golden kelvasync.prom, which its unit
# test holds to the formatter) pass `promtool check metrics`.
#   monitoring_rules_test.sh
# Skipped (exit 77) without promtool (scripts/install-deps.sh --all).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/checks.sh"
command -v promtool >/dev/null || { echo "no promtool (package prometheus, scripts/install-deps.sh --all): skipped"; exit 77; }
cd "$root/packaging/monitoring"
check "promtool check rules" promtool check rules kelvasync-alerts.yml
check "promtool test rules" promtool test rules kelvasync-alerts.test.yml
metrics=$root/src/sync/cycle_report_golden/kelvasync.prom
check "promtool check metrics finds nothing to say about kelvasync.prom" \
  bash -c "promtool check metrics <'$metrics' >'${TMPDIR:-/tmp}/kelvasync-promtool.out' 2>&1 &&
           test ! -s '${TMPDIR:-/tmp}/kelvasync-promtool.out' || { cat '${TMPDIR:-/tmp}/kelvasync-promtool.out'; false; }"
finish

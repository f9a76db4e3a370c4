# shellcheck shell=bash
# Sourced by the package tests: named checks that are counted, not fatal, so
# one run reports every fault.
failures=0
check() {  # check <description> <command...>
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
skip_unless_root() {  # skip_unless_root <what needs root>: CTest's skip code otherwise
  if [ "$(id -u)" != 0 ]; then
    echo "$1 needs root: skipped"
    exit 77
  fi
}
finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
}

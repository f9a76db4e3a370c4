#!/usr/bin/env bash
# Builds and runs every test: the Linux build (unit, integration, e2e, and the
# seeded fault campaign, label chaos, about ten minutes), the
# AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer builds
# (unit and integration), short runs of every libFuzzer target, and the
# Windows builds (x64, x86, and x86 with pelorlib's calls in __stdcall)
# under Wine. The Linux tests include the
# Debian packages (built, installed with dpkg, removed; root only), the
# Windows tests the MSIs under Wine.
#
#   scripts/run-tests.sh            everything
#   KV_SKIP_WINE=1 scripts/run-tests.sh    without the Windows build
#   KV_SKIP_SANITIZERS=1 ...               without the sanitizer builds
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all || exit 1
jobs=$(nproc)
failed=()

step() {  # step <name> <command...>: runs it, and says how long it took
  local name=$1 started=$SECONDS; shift
  echo "=== $name"
  if ! "$@"; then failed+=("$name"); fi
  echo "=== $name: $((SECONDS - started)) s"
}

build() {  # build <preset> [target...]: every target, or those named
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --preset "$preset" >/dev/null && cmake --build "build/$preset" -j"$jobs" "${targets[@]}"
}

step "linux build" build linux
step "linux tests" ctest --preset linux -j"$jobs" -LE chaos
# The fault campaign on its own: its cycles have time limits, and two cores
# shared with other tests would turn slowness into findings.
step "chaos campaign" ctest --preset linux -L chaos

if [ "${KV_SKIP_SANITIZERS:-0}" != 1 ]; then
  step "asan build" build linux-asan
  step "asan tests" env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset linux-asan -j"$jobs" -L 'unit|integration'
  step "tsan build" build linux-tsan
  step "tsan tests" env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --preset linux-tsan -j"$jobs" -L 'unit|integration'
fi

if [ "${KV_SKIP_FUZZ:-0}" != 1 ] && command -v clang++ >/dev/null; then
  step "fuzz targets (short runs)" scripts/fuzz-smoke.sh
fi

if [ "${KV_SKIP_WINE:-0}" != 1 ]; then
  # Wine tests share one prefix and one wineserver: run them one at a time.
  step "windows x64 build" build windows
  step "windows x64 tests (Wine)" ctest --preset windows
  step "windows x86 build" build windows-x86
  step "windows x86 tests (Wine)" ctest --preset windows-x86
  # pelorlib's calls in __stdcall: the tests that load the DLL (its preset
  # selects them).
  # Only what those tests run: the stand-in DLL, the two tests that load it
  # and the service with the test's name squatter.
  step "windows x86 stdcall build" build windows-x86-stdcall pelorlib hsm_contract_test sync_hsm_operations_test \
    kelvasync kvtest-name-squatter
  step "windows x86 stdcall tests (Wine)" ctest --preset windows-x86-stdcall
  scripts/wine-stop.sh
fi

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all builds and tests passed"

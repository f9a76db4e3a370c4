#!/usr/bin/env bash
# Runs an hsm-emulator for tests that cannot start it themselves (the
# Windows build's tests under Wine talk to the emulator of the Linux build).
#
#   start-emulator.sh start <hsm-emulator binary> <folder>
#       fresh state in <folder>/state with the test accounts, served on a
#       free loopback port; writes <folder>/port and <folder>/pid
#   start-emulator.sh stop <folder>
#   start-emulator.sh run <folder> -- <command...>
#       runs the command with KELVASYNC_TEST_HSM_PORT set to that port
#
# The accounts match tests/hsm/hsm_test_support.h; keep the two in step.
set -euo pipefail

stop_emulator() {
  local folder=$1 pid
  [ -f "$folder/pid" ] || return 0
  pid=$(cat "$folder/pid")
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$folder/pid" "$folder/port"
}

case "${1:-}" in
  start)
    [ $# -eq 3 ] || { echo "usage: $0 start <hsm-emulator> <folder>" >&2; exit 2; }
    emulator=$2 folder=$3
    if [ ! -x "$emulator" ]; then
      echo "no emulator at $emulator; build the Linux preset first:" >&2
      echo "  cmake --preset linux && cmake --build build/linux --target hsm-emulator" >&2
      exit 1
    fi
    mkdir -p "$folder"
    stop_emulator "$folder"
    rm -rf "$folder/state"
    state=$folder/state
    {
      "$emulator" init --state "$state" --master-password kv-master-1
      "$emulator" add-user --state "$state" --name IntegracaoAD --password 73905162
      "$emulator" add-user --state "$state" --name operador --password operador-pw
      "$emulator" add-user --state "$state" --name leitor --password leitor-pw --mask 0x01
      "$emulator" add-user --state "$state" --name bloqueado --password bloqueado-pw --blocked
    } >"$folder/admin.log" 2>&1 || { cat "$folder/admin.log" >&2; exit 1; }
    # Fully detached from CTest's pipes, or CTest would wait for it.
    nohup "$emulator" serve --state "$state" --address 127.0.0.1 --port 0 \
      --port-file "$folder/port" </dev/null >"$folder/emulator.log" 2>&1 &
    echo $! >"$folder/pid"
    for _ in $(seq 1 200); do
      if [ -s "$folder/port" ]; then
        echo "hsm-emulator listening on 127.0.0.1:$(cat "$folder/port")"
        exit 0
      fi
      kill -0 "$(cat "$folder/pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "hsm-emulator did not start:" >&2
    cat "$folder/emulator.log" >&2
    stop_emulator "$folder"
    exit 1
    ;;
  stop)
    [ $# -eq 2 ] || { echo "usage: $0 stop <folder>" >&2; exit 2; }
    stop_emulator "$2"
    ;;
  run)
    [ $# -ge 4 ] && [ "$3" = "--" ] || { echo "usage: $0 run <folder> -- <command...>" >&2; exit 2; }
    folder=$2
    shift 3
    [ -s "$folder/port" ] || { echo "no emulator running for $folder" >&2; exit 1; }
    KELVASYNC_TEST_HSM_PORT=$(cat "$folder/port")
    export KELVASYNC_TEST_HSM_PORT
    exec "$@"
    ;;
  *)
    echo "usage: $0 start|stop|run ..." >&2
    exit 2
    ;;
esac

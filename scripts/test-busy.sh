#!/usr/bin/env bash
# Runs the tests, built as ./test.sh builds them, on a busy machine: beside them run as many busy
# loops as there are cores (TVRN_BUSY_LOOPS sets another number) and two writers syncing to disk,
# the load under which a wait that is too tight shows. Arguments go to ctest, after its own
# (-R 'Tray|Server' picks tests, -j 4 runs fewer at once). TVRN_BUSY_LIMIT bounds the tests' run
# (seconds, default 3600); the load ends with the script, however it ends. Ctrl-C or SIGTERM
# stops it at once, with the tests and the load (status 130 or 143, and a line that says so).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
./test.sh --build-only

load=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-busy.XXXXXX")
loaders=()
tests=""
stopped=""
end_load() {
  local status=$? loader
  # timeout passes the signal on to its process group: ctest and the test programs.
  if [ -n "$tests" ] && kill -TERM "$tests" 2>/dev/null; then wait "$tests" 2>/dev/null || true; fi
  for loader in "${loaders[@]+"${loaders[@]}"}"; do
    # Held still while its writer is ended, so it starts no other.
    kill -STOP "$loader" 2>/dev/null || continue
    pkill -TERM -P "$loader" 2>/dev/null || true
    kill -TERM "$loader" 2>/dev/null || true
    kill -CONT "$loader" 2>/dev/null || true
  done
  wait "${loaders[@]+"${loaders[@]}"}" 2>/dev/null || true
  rm -rf "$load"
  # ctest sweeps the folders of ended test programs as its last step; not when the limit ended it.
  "$top/tests/scripts/sweep-test-folders.sh" ${stopped:+--wait 5}
  [ -z "$stopped" ] || echo "scripts/test-busy.sh: stopped by $stopped; the tests and the load" \
    "were ended" >&2
  exit "$status"
}
trap end_load EXIT
trap 'stopped=SIGINT; exit 130' INT
trap 'stopped=SIGTERM; exit 143' TERM
loops=${TVRN_BUSY_LOOPS:-$(nproc)}
case $loops in
  '' | *[!0-9]*)
    echo "TVRN_BUSY_LOOPS must be a number of busy loops, not '$loops'" >&2
    exit 2
    ;;
esac
for _ in $(seq "$loops"); do
  (while :; do :; done) &
  loaders+=("$!")
done
for writer in 1 2; do
  (while :; do
    dd if=/dev/zero of="$load/writer-$writer" bs=1M count=32 conv=fsync status=none
    sync
  done) &
  loaders+=("$!")
done
echo "Load: $loops busy loops and 2 writers syncing to disk in $load"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd build-test
# In the background, so that a signal to this script is acted on at once rather than when the
# tests end (timeout puts them in a process group of their own, which Ctrl-C does not reach).
timeout "${TVRN_BUSY_LIMIT:-3600}" ctest --output-on-failure -j "$(nproc)" "$@" &
tests=$!
ended=0
wait "$tests" || ended=$?
tests=""
exit "$ended"

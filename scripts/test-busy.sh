#!/usr/bin/env bash
# Runs the tests, built as ./test.sh builds them, on a busy machine: beside them run as many busy
# loops as there are cores (TVRN_BUSY_LOOPS sets another number) and two writers syncing to disk,
# the load under which a wait that is too tight shows. Arguments go to ctest, after its own
# (-R 'Tray|Server' picks tests, -j 4 runs fewer at once). TVRN_BUSY_LIMIT bounds the tests' run
# (seconds, default 3600); the load ends with the script, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
./test.sh --build-only

load=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-busy.XXXXXX")
loaders=()
end_load() {
  local status=$? loader
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
  "$top/tests/scripts/sweep-test-folders.sh"
  exit "$status"
}
trap end_load EXIT
trap 'exit 130' INT TERM
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
timeout "${TVRN_BUSY_LIMIT:-3600}" ctest --output-on-failure -j "$(nproc)" "$@"

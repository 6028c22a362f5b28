#!/usr/bin/env bash
# Builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them all; with
# --build-only it stops once they are built (.ci/run and scripts/test-busy.sh run them then).
set -euo pipefail
cd "$(dirname "$0")"
# Root would leave a build-test/ in the user's tree that the user's next ./test.sh cannot write.
./scripts/stop-under-sudo.sh ./test.sh "it would build as root in this folder (leaving a \
build-test/ that ${SUDO_USER:-}'s next ./test.sh cannot write, so that it fails in CMake)"
./scripts/install-deps.sh --tests build-test/node

jobs=$(nproc)
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVRN_SANITIZE=ON \
  -DTVRN_BUILD_BENCH=OFF >/dev/null
cmake --build build-test -j "$jobs"
[ "${1:-}" != --build-only ] || exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The folders of test programs ended in the middle go when the run ends, however it ends; after
# Ctrl-C or SIGTERM the programs, ended with ctest, are given a moment to let go of them.
top=$(pwd)
tests=""
stopped=""
end_run() {
  local status=$?
  # timeout passes the signal on to its process group: ctest and the test programs.
  if [ -n "$tests" ] && kill -TERM "$tests" 2>/dev/null; then wait "$tests" 2>/dev/null || true; fi
  "$top/tests/scripts/sweep-test-folders.sh" ${stopped:+--wait 5}
  exit "$status"
}
trap end_run EXIT
trap 'stopped=SIGINT; echo "./test.sh: stopped by SIGINT" >&2; exit 130' INT
trap 'stopped=SIGTERM; echo "./test.sh: stopped by SIGTERM" >&2; exit 143' TERM
cd build-test
# In the background, so that a signal to this script is acted on at once rather than when the
# tests end; timeout (with no limit) puts them in a process group of their own, which Ctrl-C does
# not reach, so that they are ended here, with what they started.
timeout 0 ctest --output-on-failure -j "$jobs" &
tests=$!
ended=0
wait "$tests" || ended=$?
tests=""
exit "$ended"

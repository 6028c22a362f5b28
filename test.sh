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
stopped=""
trap '"$top/tests/scripts/sweep-test-folders.sh" ${stopped:+--wait 5}' EXIT
trap 'stopped=SIGINT; echo "./test.sh: stopped by SIGINT" >&2; exit 130' INT
trap 'stopped=SIGTERM; echo "./test.sh: stopped by SIGTERM" >&2; exit 143' TERM
cd build-test
ctest --output-on-failure -j "$jobs"

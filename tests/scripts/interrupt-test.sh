#!/usr/bin/env bash
# scripts/test-busy.sh and test.sh stopped while ctest runs one test, in a tree of their own (fake
# package and CMake steps) and a session of their own, so that what is left of them can be told
# and only that is ever ended: Ctrl-C's signal to the script's process group, or SIGTERM to the
# script. Within 15 s nothing of theirs may run, no test folder be left, and the status say so.
# Usage: interrupt-test.sh SOURCE-TREE BRIDGE-TESTS-PROGRAM
set -uo pipefail
work=$(mktemp -d /tmp/tvrn-int.XXXXXX) # short, so a test program keeps its homes in its folder
t=$work/tree session=""
left() { [ -z "$session" ] || ps -o pid= -s "$session"; }
trap 'kill -KILL $(left) 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$t/scripts" "$t/tests/scripts" "$t/build-test" "$work/bin" "$work/tmp"
cp "$1/test.sh" "$t/" && cp "$1"/scripts/{test-busy,stop-under-sudo}.sh "$t/scripts/"
cp "$1/tests/scripts/sweep-test-folders.sh" "$t/tests/scripts/"
printf '#!/bin/sh\n' | tee "$t/scripts/install-deps.sh" >"$work/bin/cmake"
chmod +x "$t/scripts/install-deps.sh" "$work/bin/cmake"
sleeper="sh -c \"touch $work/started; exec sleep 600\""
# The fake helper is told to answer after 600 s.
helper="$2 --gtest_filter=HelperProxyTest.KeepsOneCoProcessAndSpeaksOneCompactLineEachWay"

# script | signal | to (group: as Ctrl-C) | status | the test | the file that shows it runs
cases=("scripts/test-busy.sh|INT|group|130|$sleeper|started"
  "scripts/test-busy.sh|TERM|script|143|$sleeper|started"
  "test.sh|INT|group|130|$helper|tmp/tvrn-tests-*/*/home/helper-requests.log"
  "test.sh|TERM|script|143|$helper|tmp/tvrn-tests-*/*/home/helper-requests.log")
failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r script signal whom wanted test running <<<"$entry"
  rm -rf "$work/started" "$work/tmp/"*
  echo "add_test(t $test)" >"$t/build-test/CTestTestfile.cmake"
  (cd / && exec env PATH="$work/bin:$PATH" TMPDIR="$work/tmp" TVRN_BUSY_LOOPS=1 \
    FAKE_HELPER_MODE=slow FAKE_HELPER_DELAY_MS=600000 setsid bash "$t/$script" >"$work/out" 2>&1) &
  session=$!
  for _ in $(seq 3000); do compgen -G "$work/$running" >/dev/null && break; sleep 0.01; done
  if [ "$whom" = group ]; then kill "-$signal" -- "-$session"; else kill "-$signal" "$session"; fi
  deadline=$((SECONDS + 15))
  while [ -n "$(left)" ] && ((SECONDS < deadline)); do sleep 0.05; done
  stayed=$(left | xargs -r ps -o args= -p)
  kill -KILL $(left) 2>/dev/null
  wait "$session"
  status=$?
  folders=$(compgen -G "$work/tmp/tvrn-*")
  if [ -n "$stayed$folders" ] || [ "$status" -ne "$wanted" ] ||
    ! grep -q "stopped by SIG$signal" "$work/out"; then
    echo "FAILED: $entry: status $status; left running: $stayed; left: $folders"
    sed 's/^/  /' "$work/out"
    failures=$((failures + 1))
  fi
  session=""
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))

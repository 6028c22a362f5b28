#!/usr/bin/env bash
# scripts/test-busy.sh and test.sh stopped in the middle, each in a tree of its own and a session
# of its own (so that what is left of them can be told, and only that is ever ended): with the
# signal Ctrl-C sends to the terminal's process group, or SIGTERM to the script alone. Nothing of
# theirs may be left 5 s later. test-busy.sh runs one test that sleeps, with ctest; test.sh runs
# one test of the bridges' program while the fake helper it started is told to sleep.
# Usage: interrupt-test.sh SOURCE-TREE BRIDGE-TESTS-PROGRAM
set -uo pipefail

source_tree=$1 bridge_tests=$2
# Short, so that the test program keeps its homes in its own folder whatever TMPDIR is.
work=$(mktemp -d /tmp/tvrn-int.XXXXXX)
session=""
leftovers() { [ -z "$session" ] || ps -o pid= -s "$session"; }
end() {
  local left
  left=$(leftovers)
  [ -z "$left" ] || kill -KILL $left 2>/dev/null
  rm -rf "$work"
}
trap end EXIT
mkdir -p "$work/bin"
printf '#!/bin/sh\n' >"$work/bin/cmake"
chmod +x "$work/bin/cmake"

# Up to 30 s for a file named by the pattern to be there.
await() { for _ in $(seq 3000); do compgen -G "$1" >/dev/null && return 0; sleep 0.01; done; return 1; }

# A tree with the script, fakes for the steps before its ctest, and the one test ctest runs.
make_tree() {
  local tree=$1 script=$2
  rm -rf "$tree"
  rm -rf "$work/tmp"
  mkdir -p "$tree/scripts" "$tree/tests/scripts" "$tree/build-test" "$work/tmp"
  if [ "$script" = busy ]; then
    cp "$source_tree/scripts/test-busy.sh" "$tree/scripts/"
    printf '#!/bin/sh\n' >"$tree/test.sh"
    printf '#!/bin/sh\ntouch "%s/swept"\n' "$tree" >"$tree/tests/scripts/sweep-test-folders.sh"
    printf 'add_test(sleeper sh -c "touch %s/started; exec sleep 600")\n' "$tree" \
      >"$tree/build-test/CTestTestfile.cmake"
  else
    cp "$source_tree/test.sh" "$tree/"
    cp "$source_tree/scripts/stop-under-sudo.sh" "$tree/scripts/"
    printf '#!/bin/sh\n' >"$tree/scripts/install-deps.sh"
    cp "$source_tree/tests/scripts/sweep-test-folders.sh" "$tree/tests/scripts/"
    printf 'add_test(helper "%s" "--gtest_filter=%s")\n' "$bridge_tests" \
      HelperProxyTest.KeepsOneCoProcessAndSpeaksOneCompactLineEachWay \
      >"$tree/build-test/CTestTestfile.cmake"
  fi
  chmod +x "$tree"/*.sh "$tree"/scripts/*.sh "$tree"/tests/scripts/*.sh
}

# script | signal | sent to (group: as Ctrl-C; script: as kill) | status | what shows it is at work
cases=(
  "busy|INT|group|130|started"
  "busy|TERM|script|143|started"
  "tests|INT|group|130|../tmp/tvrn-tests-*/*/home/helper-requests.log"
)
failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r script signal whom status_wanted working <<<"$entry"
  tree=$work/t
  make_tree "$tree" "$script"
  program=$tree/test.sh
  [ "$script" = tests ] || program=$tree/scripts/test-busy.sh
  # The fake helper answers its first request after 600 s; one busy loop is load enough.
  (cd / && exec env PATH="$work/bin:$PATH" TMPDIR="$work/tmp" TVRN_BUSY_LOOPS=1 \
    FAKE_HELPER_MODE=slow FAKE_HELPER_DELAY_MS=600000 setsid bash "$program" >"$work/output" 2>&1) &
  session=$!
  problem=""
  if ! await "$tree/$working"; then
    problem="it did not get to work in 30 s"
  else
    if [ "$whom" = group ]; then kill "-$signal" -- "-$session"; else kill "-$signal" "$session"; fi
    for _ in $(seq 500); do
      [ -n "$(leftovers)" ] || break
      sleep 0.01
    done
    left=$(leftovers)
    [ -z "$left" ] || problem="left running after 5 s: $(ps -o args= -p "$(echo $left | tr ' ' ,)")"
    [ -z "$left" ] || kill -KILL $left 2>/dev/null
    wait "$session"
    status=$?
    folders=$(compgen -G "$work/tmp/tvrn-*")
    if [ -n "$problem" ]; then
      :
    elif [ -n "$folders" ]; then
      problem="left the folders $folders"
    elif [ "$status" -ne "$status_wanted" ] || ! grep -q "stopped by SIG$signal" "$work/output"; then
      problem="status $status, without a line that says it was stopped"
    elif [ "$script" = busy ] && [ ! -e "$tree/swept" ]; then
      problem="the test folders were not swept"
    fi
  fi
  if [ -n "$problem" ]; then
    echo "FAILED: $entry: $problem"
    sed 's/^/  /' "$work/output"
    failures=$((failures + 1))
  fi
  left=$(leftovers)
  [ -z "$left" ] || kill -KILL $left 2>/dev/null
  wait 2>/dev/null
  session=""
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))

#!/usr/bin/env bash
# The package step against a lock file of its own, held the way apt holds its locks (fcntl) or as
# flock does, with fakes for apt-get, dpkg-query and sudo: each case says how the lock is held,
# whether it is let go once the script says it waits, and what the script must do then.
# Usage: install-deps-test.sh INSTALL-DEPS-SCRIPT
set -uo pipefail

script=$1
work=$(mktemp -d)
holder=""
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT

bin=$work/bin
lock=$work/lock-frontend
calls=$work/calls
output=$work/output
mkdir -p "$bin" "$work/home/.cache/tavrin-test-node/node_modules/@modelcontextprotocol/sdk"
touch "$lock"
# Every package counts as missing; apt-get only writes down how it was called.
printf '#!/bin/sh\necho "apt-get $*" >>"%s"\n' "$calls" >"$bin/apt-get"
printf '#!/bin/sh\nexit 0\n' >"$bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

hold_lock() {
  case $1 in
    flock) flock --no-fork "$lock" sleep 300 & ;;
    fcntl)
      /usr/bin/python3 -c 'import fcntl, sys, time
f = open(sys.argv[1], "w"); fcntl.lockf(f, fcntl.LOCK_EX); time.sleep(300)' "$lock" &
      ;;
  esac
  holder=$!
  for _ in $(seq 1 3000); do
    awk -v pid="$holder" '$2 != "->" && $5 == pid { found = 1 } END { exit !found }' /proc/locks &&
      return 0
    sleep 0.01
  done
  return 1
}

wait_for_text() {
  for _ in $(seq 1 3000); do
    grep -q "$1" "$output" && return 0
    sleep 0.01
  done
  return 1
}

# name | how the lock is held | let go once the script waits | wait limit (s) | status |
# "Waiting" lines | apt-get calls
cases=(
  'no lock held|none|-|5|0|0|2'
  'held by flock|flock|yes|30|0|1|2'
  'held by fcntl, as apt holds it|fcntl|yes|30|0|1|2'
  'held past the limit|flock|no|1|1|1|0'
)

failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name how release limit status_wanted waits_wanted calls_wanted <<<"$entry"
  if [ "$how" = fcntl ] && [ ! -x /usr/bin/python3 ]; then
    echo "SKIPPED: $name (python3 is not installed)"
    continue
  fi
  : >"$calls"
  : >"$output"
  holder=""
  if [ "$how" != none ] && ! hold_lock "$how"; then
    echo "FAILED: $name: the lock could not be taken"
    failures=$((failures + 1))
    continue
  fi
  HOME=$work/home PATH="$bin:$PATH" TVRN_PACKAGE_LOCKS="$work/absent:$lock" \
    TVRN_PACKAGE_LOCK_WAIT=$limit "$script" >"$output" 2>&1 &
  run=$!
  if [ "$release" = yes ]; then
    wait_for_text '^Waiting' || echo "(the script never said it waits)"
    echo "let go" >>"$calls"
    kill "$holder"
    wait "$holder" 2>/dev/null
  fi
  wait "$run"
  status=$?
  [ -n "$holder" ] && kill "$holder" 2>/dev/null
  holder=""

  waits=$(grep -c '^Waiting' "$output")
  made=$(grep -c '^apt-get ' "$calls")
  patient=$(grep -c "^apt-get -o DPkg::Lock::Timeout=$limit " "$calls")
  early=$(sed -n '/^let go/q;p' "$calls" | grep -c '^apt-get ')
  if [ "$status" -ne "$status_wanted" ] || [ "$waits" -ne "$waits_wanted" ] ||
    [ "$made" -ne "$calls_wanted" ] || [ "$patient" -ne "$made" ] ||
    { [ "$release" = yes ] && [ "$early" -ne 0 ]; }; then
    echo "FAILED: $name: status $status, $waits waiting lines, $made apt-get calls" \
      "($patient waiting for the lock, $early before it was let go)"
    sed 's/^/  output: /' "$output"
    sed 's/^/  calls: /' "$calls"
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))

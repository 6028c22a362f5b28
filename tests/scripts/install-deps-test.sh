#!/usr/bin/env bash
# The package step against a lock file of its own, held as apt holds its locks (fcntl) or as flock
# does, with fakes for apt-get, dpkg-query and sudo; then what the step leaves in a fresh home.
# Usage: install-deps-test.sh INSTALL-DEPS-SCRIPT
set -uo pipefail

work=$(mktemp -d)
holder=""
trap '[ -z "$holder" ] || kill "$holder"; rm -rf "$work"' EXIT
bin=$work/bin lock=$work/lock calls=$work/calls output=$work/output
mkdir -p "$bin" "$work/home"
touch "$lock"
# Every package has the status FAKE_STATUS (none: missing); apt-get writes down how it was called,
# and with RELOCK its update leaves the lock held for 2 s, as another package manager may take it.
printf '#!/bin/sh\necho "apt-get $*" >>"%s"\ncase "$RELOCK $*" in yes*update*)
  exec 9>>"%s"; flock 9; sleep 2 & ;;\nesac\n' "$calls" "$lock" >"$bin/apt-get"
printf '#!/bin/sh\nprintf %%s "$FAKE_STATUS"\n' >"$bin/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

# Up to 30 s for a line of the file to match.
await() { for _ in $(seq 3000); do grep -q "$1" "$2" && return 0; sleep 0.01; done; return 1; }

# how the lock is held | let go once the script waits | wait limit (s) | status | waiting lines |
# apt-get calls, each waiting for the lock itself too | the packages' status | update relocks
cases=(
  'none|-|5|0|0|2'
  'flock|yes|30|0|1|2||yes'
  'fcntl|yes|30|0|1|2'
  'flock|no|1|1|1|0'
  'flock|no|2|0|0|0|install ok triggers-pending|'
)
failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r how release limit status_wanted waits_wanted calls_wanted package relock <<<"$entry"
  : >"$calls"
  case $how in
    flock) flock --no-fork "$lock" sleep 300 & ;;
    fcntl) /usr/bin/python3 -c 'import fcntl, sys, time
held = open(sys.argv[1], "w"); fcntl.lockf(held, fcntl.LOCK_EX); time.sleep(300)' "$lock" & ;;
  esac
  holder=$([ "$how" = none ] || echo $!)
  [ -z "$holder" ] || await " $holder " /proc/locks || echo "($how: the lock was not taken)"
  # Emptied here, not by the step's redirection, which may come after the wait below has looked.
  : >"$output"
  FAKE_STATUS=$package RELOCK=$relock HOME=$work/home PATH="$bin:$PATH" \
    TVRN_PACKAGE_LOCKS="$work/absent:$lock" \
    TVRN_PACKAGE_LOCK_WAIT=$limit "$1" >"$output" 2>&1 &
  run=$!
  if [ "$release" = yes ]; then
    await '^Waiting' "$output"
    echo "let go" >>"$calls"
    kill "$holder"
  fi
  wait "$run"
  status=$?
  [ -z "$holder" ] || kill "$holder" 2>/dev/null
  holder=""
  waits=$(grep -c '^Waiting' "$output")
  made=$(grep -c '^apt-get ' "$calls")
  patient=$(grep -c "^apt-get -o DPkg::Lock::Timeout=$limit " "$calls")
  early=$(sed -n '/^let go/q;p' "$calls" | grep -c '^apt-get ')
  if [ "$status" -ne "$status_wanted" ] || [ "$waits" -ne "$waits_wanted" ] ||
    [ "$made" -ne "$calls_wanted" ] || [ "$patient" -ne "$made" ] ||
    { [ "$waits" -ne 0 ] && ! grep -q "^Waiting up to $limit second" "$output"; } ||
    { [ "$release" = yes ] && [ "$early" -ne 0 ]; }; then
    echo "FAILED: $entry: status $status, $waits waiting lines, $made apt-get calls ($patient" \
      "waiting for the lock, $early before it was let go)"
    sed 's/^/  /' "$output" "$calls"
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} cases, $failures failed"

# What each step leaves in a fresh home: ./run.sh's (no arguments) nothing at all; ./test.sh's
# (--tests FOLDER, npm asking a registry nobody answers on) nothing there either, and npm's reason
# shown and kept in the folder. Where npm is missing only the home is looked at.
command -v npm >/dev/null || echo "(npm is not installed here: only the home is looked at)"
for arguments in "" --tests; do
  rm -rf "$work/home" "$work/folder" && mkdir "$work/home"
  FAKE_STATUS='install ok installed' HOME=$work/home PATH="$bin:$PATH" npm_config_fetch_retries=0 \
    npm_config_registry=http://127.0.0.1:9/ "$1" $arguments ${arguments:+"$work/folder"} \
    >"$output" 2>&1
  status=$? reason=$(cat "$work/folder/not-installed" 2>/dev/null) wrong=$(ls -A "$work/home")
  [ "$status" -eq 0 ] || wrong+=" status $status"
  [ -z "$arguments" ] || ! command -v npm >/dev/null || { [[ $reason == *ECONNREFUSED* ]] &&
    grep -q ECONNREFUSED "$output"; } || wrong+=" npm's reason not shown and kept"
  if [ -n "$wrong" ]; then
    echo "FAILED: install-deps.sh $arguments: $wrong"
    sed 's/^/  /' "$output"
    failures=$((failures + 1))
  fi
done
((failures == 0))

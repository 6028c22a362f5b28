#!/usr/bin/env bash
# run.sh and test.sh in a tree of their own, with fakes for what they call and `id`: each case gives
# the script, the user id and SUDO_USER and says how it ends. Usage: run-script-test.sh SOURCE-TREE
set -uo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scripts" "$work/tests/scripts" "$work/build" "$work/build-test" "$work/bin"
cp "$1/run.sh" "$1/test.sh" "$work/" && cp "$1/scripts/stop-under-sudo.sh" "$work/scripts/"
for fake in scripts/install-deps.sh bin/cmake bin/ctest build/tavrin-tray \
  tests/scripts/sweep-test-folders.sh; do
  printf '#!/bin/sh\necho %s >>"%s/steps"\n' "${fake##*/}" "$work" >"$work/$fake"
  chmod +x "$work/$fake"
done
printf '#!/bin/sh\n[ "$1" = -u ] && exec echo "$FAKE_UID"\nexec /usr/bin/id "$@"\n' >"$work/bin/id"
chmod +x "$work/bin/id"

all='install-deps.sh cmake cmake tavrin-tray'
tests='install-deps.sh cmake cmake ctest sweep-test-folders.sh'
# script | user id | SUDO_USER (- for unset) | status | steps taken
cases=("run.sh|0|alice|1|" "run.sh|0|-|0|$all" "run.sh|0|root|0|$all" "run.sh|1000|alice|0|$all"
  "run.sh|1000|-|0|$all" "test.sh|0|alice|1|" "test.sh|0|root|0|$tests" "test.sh|1000|-|0|$tests")
failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r script uid sudo_user status_wanted steps_wanted <<<"$entry"
  : >"$work/steps"
  sudo_env=(-u SUDO_USER)
  [ "$sudo_user" = - ] || sudo_env=("SUDO_USER=$sudo_user")
  output=$(cd / && env "${sudo_env[@]}" FAKE_UID="$uid" HOME="$work" PATH="$work/bin:$PATH" \
    bash "$work/$script" 2>&1)
  status=$?
  taken=$(echo $(<"$work/steps"))
  if [ "$status" -ne "$status_wanted" ] || [ "$taken" != "$steps_wanted" ] ||
    { [ "$status" -ne 0 ] && [[ $output != *"Run ./$script as ${sudo_user};"* ]]; }; then
    echo "FAILED: $entry: status $status, steps '$taken'"
    echo "$output" | sed 's/^/  /'
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))

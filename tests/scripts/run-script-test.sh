#!/usr/bin/env bash
# run.sh in a tree of its own, with fakes for the package step, cmake, the program and `id`: each
# case gives the user id and SUDO_USER and says which steps run.sh takes and how it ends.
# Usage: run-script-test.sh RUN-SCRIPT
set -uo pipefail

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/tree
bin=$work/bin
steps=$work/steps
mkdir -p "$tree/scripts" "$tree/build" "$bin" "$work/home"
cp "$1" "$tree/run.sh"
for fake in "$tree/scripts/install-deps.sh" "$bin/cmake" "$tree/build/tavrin-tray"; do
  printf '#!/bin/sh\necho %s >>"%s"\n' "${fake##*/}" "$steps" >"$fake"
done
printf '#!/bin/sh\n[ "$1" = -u ] && exec echo "$FAKE_UID"\nexec /usr/bin/id "$@"\n' >"$bin/id"
chmod +x "$tree/scripts/install-deps.sh" "$bin/cmake" "$tree/build/tavrin-tray" "$bin/id"

all='install-deps.sh cmake cmake tavrin-tray'
# user id | SUDO_USER (- for unset) | status | steps taken
cases=(
  "0|alice|1|"
  "0|-|0|$all"
  "0|root|0|$all"
  "1000|alice|0|$all"
  "1000|-|0|$all"
)

failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r uid sudo_user status_wanted steps_wanted <<<"$entry"
  : >"$steps"
  sudo_env=(-u SUDO_USER)
  [ "$sudo_user" != - ] && sudo_env=("SUDO_USER=$sudo_user")
  output=$(cd / && env "${sudo_env[@]}" FAKE_UID="$uid" HOME="$work/home" PATH="$bin:$PATH" \
    bash "$tree/run.sh" 2>&1)
  status=$?
  taken=$(tr '\n' ' ' <"$steps")
  taken=${taken% }
  stopped_right=yes
  if [ "$status_wanted" -ne 0 ] && [[ $output != *"Run ./run.sh as ${sudo_user};"* ]]; then
    stopped_right=no
  fi
  if [ "$status" -ne "$status_wanted" ] || [ "$taken" != "$steps_wanted" ] ||
    [ "$stopped_right" = no ]; then
    echo "FAILED: uid $uid, SUDO_USER $sudo_user: status $status, steps '$taken'"
    echo "$output" | sed 's/^/  output: /'
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))

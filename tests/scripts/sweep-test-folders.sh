#!/usr/bin/env bash
# The clean-up after a run of the tests (ctest runs it once the tests are done, whatever their
# outcome): removes this user's test folders in the temporary folders that no test program holds
# any more, those of a program ended in the middle (at ctest's time limit, or killed). A program
# holds each folder it makes there (an flock on it) until it ends, so the folders of tests still
# running, in this run or another, are left alone. With --wait SECONDS (after a run that was
# stopped, whose programs may still be ending) a held folder is waited for, up to that long in all.
set -u
deadline=$((SECONDS + ${2:-0}))
for base in "${TMPDIR:-/tmp}" /tmp /var/tmp /dev/shm; do
  for folder in "$base"/tvrn-tests-?????? "$base"/tvrn-homes-?????? "$base"/tvrn-short-??????; do
    [ -d "$folder" ] && [ ! -L "$folder" ] && [ -O "$folder" ] || continue
    # Folders a test locked (mode 000) are opened on the way.
    patience=$((deadline > SECONDS ? deadline - SECONDS : 0))
    flock -w "$patience" "$folder" sh -c 'chmod -R u+rwx "$1" 2>/dev/null; rm -rf "$1"' sh "$folder" || true
  done
done
exit 0

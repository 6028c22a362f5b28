#!/usr/bin/env bash
# Runs the tests ./test.sh built (build-test/) a second time as an unprivileged user, with a
# private HOME and a long private TMPDIR (mode 0700), so a test that passes only as root, or only
# with a short TMPDIR, fails the run. For root only: CI calls it after ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd -P)

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/test-unprivileged.sh runs as root (it starts the tests as another user)." >&2
  exit 2
fi
if [ ! -f build-test/CTestTestfile.cmake ]; then
  echo "No tests are built in build-test/; run ./test.sh first." >&2
  exit 2
fi

user=tavrin-test
if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin "$user"
fi
uid=$(id -u "$user")
gid=$(id -g "$user")
as_user() { setpriv --reuid="$uid" --regid="$gid" --clear-groups "$@"; }

# The user's private world: its home and a temporary folder whose path is over 60 bytes.
work=$(mktemp -d /tmp/tavrin-unprivileged.XXXXXX)
chmod 0755 "$work"
home="$work/home"
temporary="$work/a-private-temporary-folder/as-long-as-some-users-have-it"
ctest_dir="$work/ctest"
mkdir -p "$home" "$temporary" "$ctest_dir"
chmod 0700 "$home" "$temporary" "$(dirname "$temporary")"
chown "$uid:$gid" "$home" "$temporary" "$(dirname "$temporary")" "$ctest_dir"

# The tests and their sources must be reachable: folders above the tree that others may not pass
# through are opened for passing (not for listing) while the tests run, and closed again after.
opened=()
restore() {
  local status=$?
  pkill -KILL -u "$uid" 2>/dev/null || true
  # What the user's tests made outside its TMPDIR, should ctest not have swept it.
  find /tmp /var/tmp /dev/shm -maxdepth 1 -user "$uid" -name 'tvrn-*' -exec rm -rf {} + \
    2>/dev/null || true
  for entry in "${opened[@]+"${opened[@]}"}"; do chmod "${entry%%:*}" "${entry#*:}"; done
  rm -rf "$work"
  exit "$status"
}
trap restore EXIT
folder="$top"
while [ "$folder" != "/" ]; do
  if ! as_user test -x "$folder"; then
    opened+=("$(stat -c %a "$folder"):$folder")
    chmod o+x "$folder"
    echo "Opened $folder for passing through while the tests run."
  fi
  folder=$(dirname "$folder")
done

# The test lists are read from the programs once more as root, where they are out of date, since
# the user may not write them; ctest keeps its records beside the list it reads, so the user gets
# a list of its own that names the built one.
(cd build-test && ctest -N >/dev/null 2>&1)
printf 'subdirs("%s/build-test")\n' "$top" >"$ctest_dir/CTestTestfile.cmake"

echo "Running the tests as $user (HOME=$home, TMPDIR=$temporary)"
cd "$ctest_dir"
as_user env -i PATH="$PATH" LANG="${LANG:-C.UTF-8}" HOME="$home" TMPDIR="$temporary" \
  USER="$user" LOGNAME="$user" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  ctest --output-on-failure -j "$(nproc)"

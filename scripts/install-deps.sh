#!/usr/bin/env bash
# Installs the Debian packages that building and running the system need, only those missing, so
# a second run costs about a second: what ./run.sh needs. With --tests FOLDER (./test.sh gives
# build-test/node) also what only the tests use: more Debian packages, and the MCP TypeScript SDK,
# which npm puts into FOLDER/node_modules with its cache in FOLDER/npm-cache, never into the home.
# When npm cannot install the SDK, npm's reason is shown and kept in FOLDER/not-installed, which
# the test that needs the SDK gives as its reason for skipping.
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  nlohmann-json3-dev libcurl4-openssl-dev libcpp-httplib-dev libssl-dev libpcre2-dev libicu-dev
  libexpat1-dev libboost-dev libarchive-dev libacl1-dev
  libplist-dev libsqlite3-dev
  libzip-dev libpugixml-dev libpoppler-cpp-dev libxml2-dev libical-dev
  qt6-base-dev dbus
  fonts-dejavu-core fonts-wqy-microhei fonts-noto-color-emoji
  procps lsof socat ca-certificates
  python3-openpyxl
)
# What only the tests and benchmarks use: their frameworks, the programs whose reading of the
# same files they compare with, and node for the SDK.
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  khal todoman khard radicale vdirsyncer
  sqlite3 nodejs python3-dateutil
)
node_dir=""
if [ "${1:-}" = --tests ]; then
  if [ -z "${2:-}" ]; then
    echo "Usage: $0 [--tests FOLDER]" >&2
    exit 2
  fi
  node_dir=$(realpath -m "$2")
  packages+=("${test_packages[@]}")
fi

# apt and dpkg hold these while they work; a fresh system's automatic updates hold them for some
# minutes after boot. TVRN_PACKAGE_LOCKS (colon-separated files) and TVRN_PACKAGE_LOCK_WAIT
# (seconds) let a test steer the wait.
default_locks=/var/lib/dpkg/lock-frontend:/var/lib/apt/lists/lock:/var/lib/dpkg/lock
IFS=: read -r -a package_locks <<<"${TVRN_PACKAGE_LOCKS:-$default_locks}"
lock_wait=${TVRN_PACKAGE_LOCK_WAIT:-600}

# The file as /proc/locks names it: "major:minor:inode", the numbers of its device in hex.
lock_id() {
  local device inode
  read -r device inode < <(stat -Lc '%d %i' "$1" 2>/dev/null) || return 1
  printf '%02x:%02x:%s' $(((device >> 8) & 0xfff)) \
    $(((device & 0xff) | ((device >> 12) & 0xfff00))) "$inode"
}

# "<file> <pid>" of the first package lock a process holds (flock or fcntl, as apt and dpkg take
# theirs); nothing while all are free. Lines with "->" are processes waiting, not holding.
held_package_lock() {
  local lock id holder
  for lock in "${package_locks[@]}"; do
    id=$(lock_id "$lock") || continue
    holder=$(awk -v id="$id" '$2 != "->" && $6 == id { print $5; exit }' /proc/locks)
    if [ -n "$holder" ]; then
      echo "$lock $holder"
      return
    fi
  done
}

# A wait as it is counted: whole minutes as minutes, anything else in seconds.
duration() {
  local count=$1 unit=second
  if [ "$count" -ge 60 ] && [ $((count % 60)) -eq 0 ]; then count=$((count / 60)) unit=minute; fi
  echo "$count $unit$([ "$count" -eq 1 ] || echo s)"
}

# Waits until no package lock is held, saying once in the whole run what for; gives up once
# lock_wait seconds have passed since the first wait began.
told="" deadline=""
wait_for_package_locks() {
  local held lock holder name
  while held=$(held_package_lock) && [ -n "$held" ]; do
    lock=${held% *}
    holder=${held##* }
    deadline=${deadline:-$((SECONDS + lock_wait))}
    if [ -z "$told" ]; then
      name=$(cat "/proc/${holder}/comm" 2>/dev/null || true)
      echo "Waiting up to $(duration "$lock_wait") for the package lock ${lock}, which process" \
        "${holder}${name:+ (${name})} holds: another package manager is at work (after boot," \
        "often the automatic updates)."
      told=1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "${lock} is still held after $(duration "$lock_wait"); run this again once the other" \
        "package manager has finished." >&2
      exit 1
    fi
    sleep 1
  done
}

# Installed, or installed with triggers still to run (another package's, run at its next
# configure): either way the package is there.
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null |
    grep -Eq '^install ok (installed|triggers-pending|triggers-awaited)$'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # apt waits too, should another package manager take a lock between the look and the call.
  apt_wait=(-o "DPkg::Lock::Timeout=${lock_wait}")
  wait_for_package_locks
  $SUDO apt-get "${apt_wait[@]}" update -qq
  wait_for_package_locks
  $SUDO apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

[ -n "$node_dir" ] || exit 0

# The MCP TypeScript SDK, for the test that checks what a real client sees, fetched only when
# missing. Everything npm writes stays in the folder: its cache and logs too.
[ ! -d "${node_dir}/node_modules/@modelcontextprotocol/sdk" ] || exit 0
mkdir -p "$node_dir"
reason="${node_dir}/not-installed"
if ! command -v npm >/dev/null 2>&1; then
  echo "npm is not installed (Debian's package npm has it)" >"$reason"
else
  echo "Installing @modelcontextprotocol/sdk for the tests into ${node_dir}"
  if npm_config_cache="${node_dir}/npm-cache" npm_config_update_notifier=false \
    npm install --prefix "$node_dir" --no-audit --no-fund --loglevel=error \
    @modelcontextprotocol/sdk >"${node_dir}/npm.out" 2>&1; then
    rm -f "$reason" "${node_dir}/npm.out"
    exit 0
  fi
  {
    echo "npm could not install @modelcontextprotocol/sdk:"
    sed 's/^/  /' "${node_dir}/npm.out"
  } >"$reason"
fi
cat "$reason"
echo "The test that needs the MCP TypeScript SDK will be skipped."

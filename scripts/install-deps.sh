#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, and the one npm package
# a test uses, only those missing, so a second run costs about a second.
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  nlohmann-json3-dev libcurl4-openssl-dev libcpp-httplib-dev libssl-dev libpcre2-dev libicu-dev
  libexpat1-dev libboost-dev libarchive-dev
  libplist-dev libsqlite3-dev
  libzip-dev libpugixml-dev libpoppler-cpp-dev libxml2-dev
  libgtest-dev libgmock-dev libbenchmark-dev libical-dev
  qt6-base-dev dbus
  fonts-dejavu-core fonts-wqy-microhei fonts-noto-color-emoji
  khal todoman khard radicale vdirsyncer
  procps lsof socat ca-certificates sqlite3 nodejs
  python3-openpyxl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The MCP TypeScript SDK, for the test that checks what a real client sees; kept out of the
# source tree, in the user's cache, and fetched only when missing.
node_dir="${HOME}/.cache/tavrin-test-node"
if [ ! -d "${node_dir}/node_modules/@modelcontextprotocol/sdk" ]; then
  if command -v npm >/dev/null 2>&1; then
    mkdir -p "${node_dir}"
    npm install --prefix "${node_dir}" --no-audit --no-fund --silent @modelcontextprotocol/sdk ||
      echo "Could not install @modelcontextprotocol/sdk; its test will be skipped."
  else
    echo "npm is missing; the MCP TypeScript SDK test will be skipped."
  fi
fi

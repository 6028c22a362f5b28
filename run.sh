#!/usr/bin/env bash
# Builds the system (Release) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVRN_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"

if [ ! -x build/tavrin-tray ]; then
  echo "Built. The server program is not part of this build yet."
  exit 0
fi
exec build/tavrin-tray "$@"

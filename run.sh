#!/usr/bin/env bash
# Builds the system (Release) and starts the server in the foreground; Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")"
# Root would build in the user's tree (a build/ the user's next run cannot write) and serve from
# root's home, where the user's own clients never look.
./scripts/stop-under-sudo.sh ./run.sh "it would build as root in this folder (leaving a build/ \
that ${SUDO_USER:-}'s next run cannot write) and start a server as root, which ${SUDO_USER:-}'s AI \
clients cannot reach"
./scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVRN_BUILD_TESTS=OFF \
  -DTVRN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"

socket="${HOME}/.local/share/tavrin/mcp.sock"
cat <<MSG
Starting Tavrin. MCP clients connect to the socket
  ${socket}
one JSON-RPC message per line. A client that starts a stdio server can use the command
  ${HOME}/.local/share/tavrin/bin/tavrin-server
(installed there as the server starts; it joins its standard input and output to the socket).
The server log is ${XDG_CONFIG_HOME:-$HOME/.config}/tavrin/server.log.
MSG
exec build/tavrin-tray "$@"

#!/usr/bin/env bash
# Ends the calling script's run (status 1, saying why) when it was started through sudo by another
# user: as root it would leave files in that user's tree that the user's next run cannot write.
# Root logged in as root is fine. Usage: scripts/stop-under-sudo.sh SCRIPT WHAT-ROOT-WOULD-DO
# (SUDO_USER, the user who ran sudo, is in the environment for the text).
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "${SUDO_USER}" != root ]; then
  echo "$1 stops: started through sudo, $2. Run $1 as ${SUDO_USER}; it asks for sudo itself" \
    "when packages are missing." >&2
  exit 1
fi

#!/bin/sh
# pkill as tests run it: the same matching, among the calling process's own children only, so a
# test ends the programs it started and never one of the user's.
exec pkill -P "$PPID" "$@"

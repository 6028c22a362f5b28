#!/usr/bin/env bash
# The tray's CPU time over a quiet minute, its popover first closed and then open: the tray (with
# the server inside it) under Xvfb with an XEmbed tray host, in a home of its own where the
# permissions are decided and Cursor is installed, so the popover has a client file to look at.
#   bench/popover-cpu.sh build/tavrin-tray [seconds]
set -euo pipefail

tray=$(realpath "${1:?usage: $0 path/to/tavrin-tray [seconds]}")
seconds=${2:-60}
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME/.cursor" "$XDG_CONFIG_HOME/tavrin/pim" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
echo '{"mcpServers": {}}' >"$HOME/.cursor/mcp.json"
echo '{"calendar": "granted", "reminders": "granted", "contacts": "granted"}' \
  >"$XDG_CONFIG_HOME/tavrin/pim/authorization.json"
export TVRN_BACKEND_URL=http://127.0.0.1:9 TVRN_STATUS_PORT=$((20000 + RANDOM % 20000))
export QT_QPA_PLATFORM=xcb LANG=C.UTF-8

display=:$((100 + RANDOM % 800))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge top --align right --widthtype pixel --width 64 --height 24 >/dev/null 2>&1 &
pids+=($!)
sleep 1

dbus-run-session -- "$tray" >"$work/tray.log" 2>&1 &
pids+=($!)
trayPid=""
for _ in $(seq 200); do
  trayPid=$(pgrep -P "${pids[-1]}" -x tavrin-tray || true)
  [[ -n $trayPid ]] && break
  sleep 0.1
done
[[ -n $trayPid ]] || { cat "$work/tray.log"; exit 1; }

# utime + stime of the process, in clock ticks.
ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$trayPid/stat"; }
# The tray's visible windows as "x y width height", the icon's among them.
windows() {
  for window in $(xdotool search --onlyvisible --pid "$trayPid" 2>/dev/null); do
    (eval "$(xdotool getwindowgeometry --shell "$window")" && echo "$X $Y $WIDTH $HEIGHT")
  done
}
popoverShown() { windows | awk '$3 == 320 { found = 1 } END { exit !found }'; }
measure() {
  local before after
  before=$(ticks)
  sleep "$seconds"
  after=$(ticks)
  awk -v t="$((after - before))" -v hz="$(getconf CLK_TCK)" -v s="$seconds" -v what="$1" \
    'BEGIN { printf "%s: %.3f %% of a core over %d s\n", what, 100 * t / hz / s, s }'
}

# The tray opens its popover once, a few seconds after its start; a click elsewhere closes it.
for _ in $(seq 300); do popoverShown && break; sleep 0.1; done
popoverShown || { echo "the popover did not open"; cat "$work/tray.log"; exit 1; }
sleep 5
xdotool mousemove 20 700 click 1
sleep 5
popoverShown && { echo "the popover did not close"; exit 1; }
measure closed

read -r x y _ < <(windows | awk '$3 < 64')
xdotool mousemove --sync $((x + 4)) $((y + 4)) click 1
for _ in $(seq 100); do popoverShown && break; sleep 0.1; done
popoverShown || { echo "a click on the icon did not open the popover"; exit 1; }
sleep 5
measure open
popoverShown || echo "(the popover closed during the measurement)"

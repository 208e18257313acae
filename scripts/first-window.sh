#!/usr/bin/env bash
# Starts a Murravo binary on an empty data folder in a private session with a display, waits for
# its first window (the first-run wizard), checks that the window carries an icon and, when a
# desktop entry is given, the window class that the entry names; saves a screenshot of the
# window and ends the program. Exits 1 when the window does not show.
#   first-window.sh BINARY SCREENSHOT [DESKTOP_FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${MURRAVO_PRIVATE_SCRATCH:-}" ] || exec "$here/private-session.sh" --display "$0" "$@"
binary=$1 screenshot=$2 desktop=${3:-}
title='Murravo - Create Account'

log=$(mktemp)
trap 'kill ${app_pid:-} 2>/dev/null || true; rm -f "$log"' EXIT
"$binary" >"$log" 2>&1 &
app_pid=$!
window=""
for _ in $(seq 100); do
  sleep 0.2
  kill -0 "$app_pid" 2>/dev/null || break
  window=$(xdotool search --name "^$title\$" 2>/dev/null | head -1) || true
  [ -n "$window" ] && break
done
if [ -z "$window" ]; then
  echo "first window: $binary showed no \"$title\" window within 20 s; its output:" >&2
  sed 's/^/  /' "$log" >&2
  exit 1
fi
sleep 1  # let it paint
problems=0
icon=$(xprop -len 16 -id "$window" _NET_WM_ICON 2>/dev/null || true)
[[ $icon == '_NET_WM_ICON(CARDINAL) = '* ]] || { echo "first window: the window has no icon" >&2; problems=1; }
if [ -n "$desktop" ]; then
  # The desktop session groups the window under the menu entry whose StartupWMClass matches.
  wanted=$(sed -n 's/^StartupWMClass=//p' "$desktop")
  class=$(xprop -id "$window" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = "[^"]*", "\([^"]*\)"$/\1/p')
  [ "$class" = "$wanted" ] || { echo "first window: window class '$class', desktop entry wants '$wanted'" >&2; problems=1; }
fi
mkdir -p "$(dirname "$screenshot")"
import -window "$window" "$screenshot"
echo "first window: \"$title\" shown by $binary; screenshot $screenshot"
exit "$problems"

#!/usr/bin/env bash
# Builds Murravo and saves PNG screenshots of its windows into docs/screenshots/:
# the real program's first window (the first-run wizard) under Xvfb, and every dialog with
# sample state through the test tree's screenshot tool. Everything runs on a scratch home,
# a private D-Bus session and a throw-away keyring; nothing touches the user's own data.
#   scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-screenshots}
out=$root/docs/screenshots

if [ -z "${MURRAVO_SCREENSHOT_BUS:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DMURRAVO_TESTS=ON >/dev/null
  cmake --build "$build" -j2 --target murravo murravo_screenshots
  exec env MURRAVO_SCREENSHOT_BUS=1 xvfb-run -a -s "-screen 0 1280x900x24" \
    dbus-run-session -- "$0" "$build"
fi

scratch=$(mktemp -d)
trap 'kill ${keyring_pid:-} ${app_pid:-} 2>/dev/null || true; rm -rf "$scratch"' EXIT
export HOME="$scratch" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
  XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run" QT_QPA_PLATFORM=xcb
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR" "$out"
chmod 700 "$XDG_RUNTIME_DIR"
if command -v gnome-keyring-daemon >/dev/null; then
  eval "$(printf 'murravo-screenshots\n' | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
  keyring_pid=${GNOME_KEYRING_PID:-}
fi

# The real program on an empty data folder opens with the first-run wizard.
"$build/murravo" &
app_pid=$!
shot=no
for _ in $(seq 1 50); do
  sleep 0.2
  if xwininfo -root -tree 2>/dev/null | grep -q 'Murravo - Create Account'; then
    sleep 1
    import -window root -crop "$(xwininfo -root -tree | grep 'Murravo - Create Account' | head -1 \
      | sed -E 's/.* ([0-9]+)x([0-9]+)\+[-0-9]+\+[-0-9]+ +\+([-0-9]+)\+([-0-9]+).*/\1x\2+\3+\4/')" \
      "$out/program-first-run.png" && echo "wrote $out/program-first-run.png" && shot=yes
    break
  fi
done
[ "$shot" = yes ] || echo "the program showed no first-run window; skipped program-first-run.png" >&2
kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
unset app_pid

# Every dialog, and the main window with a few entries, with sample state.
"$build/tests/ui_dialogs/murravo_screenshots" "$out"

#!/usr/bin/env bash
# Runs the test suite of a build folder on a private D-Bus session bus with a real,
# unlocked keyring daemon, so no test touches the user's own session or keyring.
set -euo pipefail
dir=$1
if [ -z "${MURRAVO_PRIVATE_BUS:-}" ]; then
  exec env MURRAVO_PRIVATE_BUS=1 dbus-run-session -- "$0" "$@"
fi
# A throw-away home for the keyring daemon's collection files.
scratch=$(mktemp -d)
trap 'kill ${keyring_pid:-} 2>/dev/null || true; rm -rf "$scratch"' EXIT
export HOME="$scratch" XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
if command -v gnome-keyring-daemon >/dev/null; then
  # In the foreground so that its pid is ours to stop; --daemonize prints no pid on this version.
  printf 'murravo-test\n' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
  keyring_pid=$!
  for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true' && break
    sleep 0.1
  done
fi
cd "$dir"
ctest -j2 --output-on-failure --timeout 600 ${MURRAVO_CTEST_INCLUDE:+-R "$MURRAVO_CTEST_INCLUDE"} \
  ${MURRAVO_CTEST_EXCLUDE:+-E "$MURRAVO_CTEST_EXCLUDE"}

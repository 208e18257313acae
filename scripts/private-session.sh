#!/usr/bin/env bash
# Runs a command on a private D-Bus session bus with a real, unlocked, throw-away keyring and a
# scratch home, so that nothing touches the user's own session, keyring or data. With --display
# the command also gets a private X server (Xvfb, 1280x900) with a window manager (openbox);
# --bare-display leaves the window manager out, so that windows resize at once.
#   private-session.sh [--display | --bare-display] COMMAND [ARGS...]
set -euo pipefail
kind=bus
case "${1:-}" in
  --display) kind=display; shift ;;
  --bare-display) kind=bare-display; shift ;;
esac
if [ -z "${MURRAVO_PRIVATE_SESSION:-}" ]; then
  if [ "$kind" = bus ]; then
    exec env MURRAVO_PRIVATE_SESSION=bus dbus-run-session -- "$0" "$@"
  fi
  exec env MURRAVO_PRIVATE_SESSION=$kind xvfb-run -a -s "-screen 0 1280x900x24" dbus-run-session -- "$0" "$@"
fi
if [ "$kind" != bus ] && [ "$MURRAVO_PRIVATE_SESSION" = bus ]; then
  echo "private-session.sh: already inside a session without a display" >&2
  exit 1
fi
if [ -n "${MURRAVO_PRIVATE_SCRATCH:-}" ]; then
  # Already set up by an outer call.
  exec "$@"
fi

scratch=$(mktemp -d)
trap 'kill ${keyring_pid:-} ${wm_pid:-} 2>/dev/null || true; rm -rf "$scratch"' EXIT
export MURRAVO_PRIVATE_SCRATCH=$scratch HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" \
  XDG_CONFIG_HOME="$scratch/config" XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
if command -v gnome-keyring-daemon >/dev/null; then
  # In the foreground so that its pid is ours to stop; --daemonize prints no pid on this version.
  printf 'murravo-private-session\n' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
  keyring_pid=$!
  for _ in $(seq 100); do
    [[ $(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null) == *'boolean true'* ]] && break
    sleep 0.1
  done
fi
if [ "$MURRAVO_PRIVATE_SESSION" != bus ]; then
  export QT_QPA_PLATFORM=xcb
fi
if [ "$MURRAVO_PRIVATE_SESSION" = display ]; then
  openbox >/dev/null 2>&1 &
  wm_pid=$!
  for _ in $(seq 50); do
    [[ $(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null) == *'window id'* ]] && break
    sleep 0.1
  done
fi
"$@"

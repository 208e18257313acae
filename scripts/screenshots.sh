#!/usr/bin/env bash
# Builds Murravo and saves PNG screenshots of its windows into docs/screenshots/:
# the real program's first window (the first-run wizard) under Xvfb, and every dialog with
# sample state through the test tree's screenshot tool. Everything runs in a private session
# (scripts/private-session.sh); nothing touches the user's own data.
#   scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-screenshots}
out=$root/docs/screenshots

if [ -z "${MURRAVO_PRIVATE_SCRATCH:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DMURRAVO_TESTS=ON >/dev/null
  cmake --build "$build" -j2 --target murravo murravo_screenshots
  # No window manager: the dialogs are pictured at the size they give themselves at once.
  exec "$root/scripts/private-session.sh" --bare-display "$0" "$build"
fi

# The real program on an empty data folder opens with the first-run wizard.
"$root/scripts/first-window.sh" "$build/murravo" "$out/program-first-run.png" \
  || echo "program-first-run.png: the program's first window did not pass its check (above)" >&2

# Every dialog, and the main window with a few entries, with sample state.
"$build/tests/ui_dialogs/murravo_screenshots" "$out"

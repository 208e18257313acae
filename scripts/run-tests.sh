#!/usr/bin/env bash
# Runs the test suite of a build folder in a private session (scripts/private-session.sh: its own
# D-Bus session bus, a real unlocked keyring daemon, a scratch home), so no test touches the
# user's own session or keyring.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$1"
exec "$root/scripts/private-session.sh" ctest -j2 --output-on-failure --timeout 600 \
  ${MURRAVO_CTEST_INCLUDE:+-R "$MURRAVO_CTEST_INCLUDE"} ${MURRAVO_CTEST_EXCLUDE:+-E "$MURRAVO_CTEST_EXCLUDE"}

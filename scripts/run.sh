#!/usr/bin/env bash
# Installs what is missing, builds Murravo and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DMURRAVO_TESTS=OFF
exec "$root/build/murravo" "$@"

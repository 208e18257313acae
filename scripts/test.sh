#!/usr/bin/env bash
# Installs what is missing, builds Murravo with its tests and runs the whole suite.
# Usage: test.sh [--sanitize]   (--sanitize: a separate AddressSanitizer + UBSan build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
dir="$root/build"; opts=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$root/build-sanitize"; opts=(-DMURRAVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
"$root/scripts/build.sh" "$dir" -DMURRAVO_BENCH=ON "${opts[@]}"
exec "$root/scripts/run-tests.sh" "$dir"

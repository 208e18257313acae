#!/usr/bin/env bash
# Configures and builds Murravo. Usage: build.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}; shift || true
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
cmake -S "$root" -B "$dir" -G Ninja -DMURRAVO_WERROR="$werror" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"

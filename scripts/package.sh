#!/usr/bin/env bash
# Builds the Debian package of Murravo: installs what is missing, builds the program and makes
# the .deb with CPack (dependencies from dpkg-shlibdeps). A new build folder is configured without
# tests and benchmarks; an existing one is packaged as it is configured (only the program and its
# data files go into the package either way).
#   package.sh [BUILD_DIR]          (default: build-package)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
"$root/scripts/install-deps.sh"
if [ -f "$dir/CMakeCache.txt" ]; then
  for refused in 'MURRAVO_SANITIZE:BOOL=ON' 'MURRAVO_FUZZ:BOOL=ON' 'CMAKE_BUILD_TYPE:STRING=Debug'; do
    if grep -qx "$refused" "$dir/CMakeCache.txt"; then
      echo "package.sh: $dir is configured with $refused; package a release build instead" >&2
      exit 1
    fi
  done
  cmake --build "$dir" -j"$(nproc)"
else
  "$root/scripts/build.sh" "$dir" -DMURRAVO_TESTS=OFF -DMURRAVO_BENCH=OFF
fi
rm -f "$dir"/murravo_*.deb
log=$(mktemp)
trap 'rm -f "$log"' EXIT
(cd "$dir" && cpack -G DEB) >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
deb=$(realpath "$dir"/murravo_*.deb)
echo "package: $deb"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed corpus.
# Usage: fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-30}
dir="$root/build-fuzz"
"$root/scripts/install-deps.sh"
CC=clang-14 CXX=clang++-14 "$root/scripts/build.sh" "$dir" -DMURRAVO_FUZZ=ON -DMURRAVO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
shopt -s nullglob
for bin in "$dir"/fuzz/fuzz_*; do
  # Only the target executables; the build also leaves directories with this prefix.
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzzing $name for ${secs}s"
  "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 "$work" >/dev/null 2>"$work.log" \
    || { tail -50 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done

#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a fixed time on its seed corpus.
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
seconds=${1:-30}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANTHE_FUZZ=ON -DCORVANTHE_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
shopt -s nullglob
for target in "$build"/*_fuzz; do
  name=$(basename "$target")
  corpus=tests/fuzz/corpus/${name%_fuzz}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzz: $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
    > "$build/$name.log" 2>&1 || { tail -50 "$build/$name.log"; echo "fuzz: $name found a fault" >&2; exit 1; }
  grep -E 'stat::number_of_executed_units' "$build/$name.log" || true
  rm -rf "$work"
done
echo "fuzz: every target ran clean"

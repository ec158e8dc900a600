#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for a bounded time from the seed corpora. A finding fails the run and
# leaves its input in the build directory.
#
# Usage: fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
SECONDS_PER_TARGET=${1:-60}
BUILD=${2:-build/fuzz}
cd "$(dirname "$0")/.."
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTU_FUZZ=ON -DVANTU_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
python3 fuzz/seeds.py "$BUILD/seeds"
status=0
for target in "$BUILD"/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$BUILD/corpus/$name"
  mkdir -p "$corpus"
  echo "fuzz: $name for ${SECONDS_PER_TARGET}s"
  if ! (cd "$BUILD" && "./$name" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "corpus/$name" "seeds/$name" 2>"$name.log"); then
    echo "fuzz: $name found a fault; see $BUILD/$name.log and the crash-* file there" >&2
    tail -n 40 "$BUILD/$name.log" >&2
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$BUILD/$name.log" | sed "s/^/fuzz: $name /" || true
done
exit $status

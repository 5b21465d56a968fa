#!/usr/bin/env bash
# Builds every libFuzzer target with clang into build-fuzz/ and runs each for a
# bounded time (PEL_FUZZ_SECONDS, 60 by default) over its seed corpus in
# fuzz/corpus/<name>. A finding stops the script with its input saved in
# build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEL_FUZZ_BUILD_DIR:-build-fuzz}
SECS=${PEL_FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPEL_FUZZ=ON -DPEL_SANITIZE=OFF -DPEL_TESTS=OFF -DPEL_BENCH=OFF >/dev/null
mkdir -p "$BUILD/fuzz-artifacts"
for seeds in fuzz/corpus/*/; do
  name=$(basename "$seeds")
  cmake --build "$BUILD" --target "fuzz_$name"
  work="$BUILD/fuzz-corpus/$name"
  mkdir -p "$work"
  echo "Fuzzing $name for ${SECS}s"
  # New inputs go to the work folder; the committed seeds stay as they are.
  log="$BUILD/fuzz-$name.log"
  # A run may hold 2 GiB, and so may one allocation. The targets of what a
  # phone's services send hold half of it (they peak near 500 MB, most of it
  # the sanitizer's quarantine): a message whose values are shared many
  # times over (a binary property list pointing its entries at one value),
  # read before it is measured, breaks that at once; their seeds hold such
  # messages.
  rss=2048
  case "$name" in
    afc|devicelink) rss=1024 ;;
  esac
  if ! "$BUILD/bin/fuzz/fuzz_$name" -max_total_time="$SECS" -timeout=10 -rss_limit_mb="$rss" \
      -artifact_prefix="$BUILD/fuzz-artifacts/$name-" -print_final_stats=1 \
      "$work" "$seeds" >"$log" 2>&1; then
    cat "$log"
    echo "fuzz_$name found a problem; the input is in $BUILD/fuzz-artifacts/" >&2
    exit 1
  fi
  tail -n 12 "$log"
done

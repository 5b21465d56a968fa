#!/usr/bin/env bash
# Builds every libFuzzer target with clang into build-fuzz/ and runs each for a
# bounded time (PEL_FUZZ_SECONDS, 60 by default) over its seed corpus in
# fuzz/corpus/<name>. The targets are built in one go and run side by side,
# one per CPU and at most 4 at a time (PEL_FUZZ_JOBS to change; a fuzzer
# uses one CPU and may take up to 2 GiB). A finding fails the script with its
# input saved in build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEL_FUZZ_BUILD_DIR:-build-fuzz}
SECS=${PEL_FUZZ_SECONDS:-60}
JOBS=${PEL_FUZZ_JOBS:-$(( $(nproc) < 4 ? $(nproc) : 4 ))}
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPEL_FUZZ=ON -DPEL_SANITIZE=OFF -DPEL_TESTS=OFF -DPEL_BENCH=OFF >/dev/null
mkdir -p "$BUILD/fuzz-artifacts"
names=()
for seeds in fuzz/corpus/*/; do names+=("$(basename "$seeds")"); done
cmake --build "$BUILD" --target "${names[@]/#/fuzz_}"

# Runs one target; its output goes to its log, its outcome to <log>.failed.
fuzz_one() {
  local name=$1 work="$BUILD/fuzz-corpus/$1" log="$BUILD/fuzz-$1.log"
  mkdir -p "$work"
  rm -f "$log.failed"
  # New inputs go to the work folder; the committed seeds stay as they are.
  # A run may hold 2 GiB, and so may one allocation. The targets of what a
  # phone's services send hold half of it (they peak near 500 MB, most of it
  # the sanitizer's quarantine): a message whose values are shared many
  # times over (a binary property list pointing its entries at one value),
  # read before it is measured, breaks that at once; their seeds hold such
  # messages.
  local rss=2048
  case "$name" in
    afc|devicelink) rss=1024 ;;
  esac
  if ! "$BUILD/bin/fuzz/fuzz_$name" -max_total_time="$SECS" -timeout=10 -rss_limit_mb="$rss" \
      -artifact_prefix="$BUILD/fuzz-artifacts/$name-" -print_final_stats=1 \
      "$work" "fuzz/corpus/$name/" >"$log" 2>&1; then
    touch "$log.failed"
  fi
}

echo "Fuzzing ${names[*]} for ${SECS}s each, $JOBS at a time"
running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

failed=()
for name in "${names[@]}"; do
  log="$BUILD/fuzz-$name.log"
  if [ -e "$log.failed" ]; then
    cat "$log"
    failed+=("$name")
  else
    echo "== fuzz_$name"
    tail -n 12 "$log"
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "${failed[*]/#/fuzz_} found a problem; the inputs are in $BUILD/fuzz-artifacts/" >&2
  exit 1
fi

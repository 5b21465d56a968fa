#!/usr/bin/env bash
# Builds the benchmark programs alone (Release, in build-rel/), runs each once
# in a fixed order and ends with one table of every figure: the figure, its
# baseline measured in the same run, their ratio, the target and whether it
# was met. Exits 1 when a target is missed or a benchmark fails.
#
#   tools/bench.sh [--quick] [name...]
#
# --quick leaves out the long runs (bench_load at 1,000,000 messages, the
# backup crypto of 256 MiB and the AFC transfer of 256 MiB); names pick benchmarks (e.g. bench_load bench_mbdb).
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEL_BENCH_BUILD_DIR:-build-rel}
JOBS=${PEL_BENCH_JOBS:-3}

quick=0
picked=()
for a in "$@"; do
  case "$a" in
    --quick) quick=1 ;;
    *) picked+=("$a") ;;
  esac
done

# The fixed order; each line is a program and its arguments.
runs=(
  "bench_sqlite3db"
  "bench_load 200000 250"
  "bench_load 1000000 1250"
  "bench_writer"
  "bench_androidload"
  "bench_androidrestore"
  "bench_export"
  "bench_windowexport"
  "bench_search"
  "bench_window"
  "bench_mbdb"
  "bench_carving"
  "bench_recovery"
  "bench_backupcrypto"
  "bench_filerelay"
  "bench_afc"
  "bench_iphonetransfer"
)

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPEL_TESTS=OFF -DPEL_BENCH=ON \
  "${launcher[@]}" >/dev/null || exit 1
targets=()
for r in "${runs[@]}"; do
  p=${r%% *}
  [[ " ${targets[*]} " == *" $p "* ]] || targets+=("$p")
done
# The bubble pictures beside the program: the PDF export draws their placeholder.
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}" bubble_files || exit 1

export QT_QPA_PLATFORM=offscreen TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
results=$(mktemp)
trap 'rm -f "$results"' EXIT
failed=0
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for r in "${runs[@]}"; do
  p=${r%% *}
  if ((${#picked[@]})) && [[ " ${picked[*]} " != *" $p "* ]]; then continue; fi
  if ((quick)) && [[ "$r" == "bench_load 1000000"* || "$p" == bench_backupcrypto || "$p" == bench_afc ]]; then continue; fi
  echo "== $r"
  # shellcheck disable=SC2086
  if ! (cd "$BUILD/bin" && ./bench/$r) | tee -a "$results" | grep --line-buffered -v "^RESULT "; then
    echo "BENCHMARK FAILED: $r"
    echo "RESULT $p(run) - - - - FAIL" >>"$results"
    failed=1
  fi
done

echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-26s %14s %14s %7s %8s %s\n' figure value baseline ratio target result
grep '^RESULT ' "$results" | while read -r _ name figure baseline ratio target pass; do
  printf '%-26s %14s %14s %7s %8s %s\n' "$name" "$figure" "$baseline" "$ratio" "$target" "$pass"
done
if grep -q '^RESULT .* FAIL$' "$results"; then failed=1; fi
exit $failed

#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs a bounded pass of the fuzz targets (in a
# clang build of their own; PEL_SKIP_FUZZ=1 skips it) and then every test
# with ctest, whose summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD=${PEL_TEST_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPEL_SANITIZE=ON -DPEL_TESTS=ON
cmake --build "$BUILD"
if [ "${PEL_SKIP_FUZZ:-0}" != 1 ]; then bash tools/fuzz.sh; fi
export QT_QPA_PLATFORM=offscreen TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
export QTWEBENGINE_DISABLE_SANDBOX=1 ASAN_OPTIONS=new_delete_type_mismatch=0
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"

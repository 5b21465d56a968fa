#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
BUILD=${PEL_TEST_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPEL_SANITIZE=ON -DPEL_TESTS=ON
cmake --build "$BUILD"
export QT_QPA_PLATFORM=offscreen TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
export QTWEBENGINE_DISABLE_SANDBOX=1 ASAN_OPTIONS=new_delete_type_mismatch=0
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"

#!/usr/bin/env bash
# Installs what is missing, builds the program with its data folders and
# starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target pelicorde emoji_pictures bubble_files
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
exec ./build/bin/pelicorde "$@"

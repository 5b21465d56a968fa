#!/usr/bin/env bash
# Installs what is missing, builds the program with its data folders and
# starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Pelicorde is a desktop program and needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "To try it without one, run it under a virtual display:  xvfb-run -a ./tools/run.sh" >&2
  exit 1
fi
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target pelicorde emoji_pictures bubble_files
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
exec ./build/bin/pelicorde "$@"

#!/usr/bin/env bash
# Fills the program's data folder with generated messages so that the window
# can be seen full without a phone:  ./tools/demo-data.sh [messages] [conversations]
# It writes "Demo Archive" (a local database), "Demo iPhone" (a saved iPhone
# copy with deleted messages to recover) and "Demo Android" (a saved Android
# copy) into the data folder, replacing folders of those names, and prints
# where. The data folder lies below XDG_DATA_HOME (~/.local/share unless set):
# set XDG_DATA_HOME to fill another one than your own.
# PEL_BUILD_DIR names the build folder (default build/); only the generator
# is built there.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEL_BUILD_DIR:-build}
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" --target pel_demodata >/dev/null
exec "$BUILD/bin/pel_demodata" "${1:-20000}" "${2:-120}"

#!/usr/bin/env bash
# Fills the program's data folder with generated messages (a local database
# and two saved device copies) so that the window can be seen full without a
# phone:  ./tools/demo-data.sh [messages] [conversations]
# Set XDG_DATA_HOME to fill another data folder than your own.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEL_BUILD_DIR:-build}
if [ ! -x "$BUILD/bin/pel_demodata" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$BUILD" --target pel_demodata
fi
exec "$BUILD/bin/pel_demodata" "${1:-20000}" "${2:-120}"

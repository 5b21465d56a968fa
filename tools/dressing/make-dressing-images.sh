#!/usr/bin/env bash
# Builds the small drawing program beside this script and lets it write the
# window-dressing pictures into res/dressing/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/../../res/dressing
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/make-dressing-images" "$here/make-dressing-images.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$tmp/make-dressing-images" "$out"
ls -l "$out"

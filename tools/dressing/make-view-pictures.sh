#!/usr/bin/env bash
# Builds the small drawing program beside this script and lets it write the
# service icons of the message list into res/list/ and the pictures of the
# conversation view into bubble/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=$here/../../res/list
bubble=$here/../../bubble
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/make-view-pictures" "$here/make-view-pictures.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
mkdir -p "$list" "$bubble"
QT_QPA_PLATFORM=offscreen "$tmp/make-view-pictures" "$list" "$bubble"
ls -l "$list" "$bubble"

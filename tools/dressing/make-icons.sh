#!/usr/bin/env bash
# Builds the small drawing program beside this script and lets it write the
# program's icons into res/icons/. With an argument, also writes a contact
# sheet of all icons at 18, 32 and 52 pixels to that file.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/../../res/icons
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/make-icons" "$here/make-icons.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$tmp/make-icons" "$out" ${1:+"$1"}
ls -l "$out"

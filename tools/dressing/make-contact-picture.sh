#!/usr/bin/env bash
# Builds the small drawing program beside this script and lets it write the
# default contact picture into res/cards/contact.png.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/../../res/cards
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/make-contact-picture" "$here/make-contact-picture.cpp" \
    $(pkg-config --cflags --libs Qt6Gui)
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$tmp/make-contact-picture" "$out/contact.png"
ls -l "$out"

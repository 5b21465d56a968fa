#!/usr/bin/env bash
# Installs every Debian package that building, running and testing need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git clang lld
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-webengine-dev qt6-5compat-dev libqt6opengl6-dev libgl-dev
  libsqlite3-dev sqlite3 libplist-dev libarchive-dev libmbedtls-dev libssl-dev
  adb python3 python3-phonenumbers iso-codes
  fonts-noto-color-emoji python3-pil
  xvfb xauth xdotool fonts-dejavu-core
  poppler-utils
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# npm data: the mapping of the old private-use emoji codes to standard emoji
# (emoji.json of emoji-datasource), used when the emoji pictures are rendered.
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
EMOJI_DATA="$ROOT/.deps/emoji-datasource"
EMOJI_DATA_VERSION=16.0.0
if [ ! -f "$EMOJI_DATA/emoji.json" ] || [ "$(cat "$EMOJI_DATA/VERSION" 2>/dev/null)" != "$EMOJI_DATA_VERSION" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get install -y -q --no-install-recommends npm
  fi
  tmp="$(mktemp -d)"
  if (cd "$tmp" && npm pack --silent "emoji-datasource@$EMOJI_DATA_VERSION" >/dev/null \
      && tar -xzf "emoji-datasource-$EMOJI_DATA_VERSION.tgz" package/emoji.json); then
    mkdir -p "$EMOJI_DATA"
    mv "$tmp/package/emoji.json" "$EMOJI_DATA/emoji.json"
    echo "$EMOJI_DATA_VERSION" > "$EMOJI_DATA/VERSION"
  else
    echo "warning: could not fetch emoji-datasource; old private-use emoji get no pictures" >&2
  fi
  rm -rf "$tmp"
fi

#!/usr/bin/env bash
# Runs the built program under a virtual X display on a generated data
# folder, opens the demo database and its newest conversation, and saves a
# screenshot of the screen:  ./tools/screenshot.sh [out.png [dialog.png]]
# With a second file it then opens the conversation's context menu, picks
# "Export Messages with this contact to File" and saves a picture of the save
# dialog that comes up.
# PEL_BUILD_DIR names the build folder (default build/, built when needed).
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${1:-docs/mainwindow.png}")
DIALOG_OUT=""
if [ -n "${2:-}" ]; then DIALOG_OUT=$(realpath -m "$2"); fi
BUILD=${PEL_BUILD_DIR:-build}
if [ -z "${PEL_BUILD_DIR:-}" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" --target pelicorde pel_demodata pel_xgrab emoji_pictures bubble_files
fi
BIN=$(realpath "$BUILD/bin")
for tool in xvfb-run xdotool; do
  command -v $tool >/dev/null || { echo "screenshot.sh: $tool is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export HOME="$WORK" XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache"
export PELICORDE_SERVICE_HOST=""
# The Android watcher finds no adb and no phone.
mkdir -p "$WORK/path"
printf '#!/bin/sh\n[ "$1" = devices ] && echo "List of devices attached"\nexit 0\n' > "$WORK/path/adb"
chmod +x "$WORK/path/adb"
export PATH="$WORK/path:$PATH"
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-new_delete_type_mismatch=0:detect_leaks=0}
"$BIN/pel_demodata" "${PEL_DEMO_MESSAGES:-3000}" "${PEL_DEMO_CHATS:-40}" >/dev/null
mkdir -p "$(dirname "$OUT")"
if [ -n "$DIALOG_OUT" ]; then mkdir -p "$(dirname "$DIALOG_OUT")"; fi

cat > "$WORK/session.sh" <<'SESSION'
set -euo pipefail
unset QT_QPA_PLATFORM
"$BIN/pelicorde" > "$WORK/program.log" 2>&1 &
pid=$!
win=$(xdotool search --sync --onlyvisible --name '^Pelicorde$' | head -1)
shown=$SECONDS
# Boxes sit over the window: the warning about Apple's libraries at once, the
# USB tips 10 s after the start when no Android phone is seen. Answer them
# (there is no window manager: give them the focus ourselves).
# wait_screen filled|changed X Y W H [BEFORE.png]: grabs the screen every
# second until the region holds more than 20 colours (filled) or differs
# from that of BEFORE.png (changed), and the whole screen is as it was one
# second before; at most 90 s (a note on standard error, and on we go).
wait_screen() {
  local prev="$WORK/probe-prev.png" now="$WORK/probe.png"
  rm -f "$prev"
  for _ in $(seq 1 90); do
    "$BIN/pel_xgrab" "$now" >/dev/null 2>&1 || true
    if /usr/bin/python3 - "$now" "$prev" "$@" <<'PY'
import sys
from PIL import Image
now_png, prev_png, what = sys.argv[1:4]
x, y, w, h = map(int, sys.argv[4:8])
box = (x, y, x + w, y + h)
try:
    now = Image.open(now_png).convert("RGB")
    prev = Image.open(prev_png).convert("RGB")
except OSError:
    sys.exit(1)
if list(now.getdata()) != list(prev.getdata()):
    sys.exit(1)
region = list(now.crop(box).getdata())
if what == "filled":
    sys.exit(0 if len(set(region)) > 20 else 1)
before = list(Image.open(sys.argv[8]).convert("RGB").crop(box).getdata())
sys.exit(0 if region != before else 1)
PY
    then return 0; fi
    mv -f "$now" "$prev" 2>/dev/null || true
    sleep 1
  done
  echo "screenshot.sh: the screen did not settle ($1 $2 $3 $4 $5)" >&2
}
dismiss() {
  for w in $(xdotool search --onlyvisible --pid $pid 2>/dev/null); do
    if [ "$w" != "$win" ]; then xdotool windowfocus --sync "$w" key Return 2>/dev/null || true; sleep 1; fi
  done
}
sleep 2
while [ $((SECONDS - shown)) -lt 13 ]; do dismiss; sleep 1; done
dismiss
xdotool windowfocus --sync "$win" 2>/dev/null || true
eval "$(xdotool getwindowgeometry --shell "$win")"
# Focus the source tree (its empty lower part), then walk down to the
# database: Devices, the two saved devices, Local Databases, the database.
xdotool mousemove --window "$win" 100 $((HEIGHT - 60)) click 1
sleep 0.5
for i in 1 2 3 4 5; do xdotool key Down; sleep 0.3; done
sleep 3
# A slow machine takes its time: wait until the list shows messages and the
# screen has stopped changing, then until the conversation view has changed
# to the newest conversation and settled.
wait_screen filled 205 130 430 480
"$BIN/pel_xgrab" "$WORK/before.png"
xdotool key Down   # its newest conversation
sleep 2
wait_screen changed 660 120 320 520 "$WORK/before.png"
sleep 2
wait_screen filled 660 120 320 520
"$BIN/pel_xgrab" "$OUT"
if [ -n "$DIALOG_OUT" ]; then
  # The Menu key opens the conversation's context menu. With no iPhone
  # attached its transfer entry is disabled and skipped by the arrow keys:
  # the third step reaches the export to a file, whose save dialog is a
  # window of its own.
  xdotool key Menu
  sleep 1
  for i in 1 2 3; do xdotool key Down; sleep 0.2; done
  xdotool key Return
  dialog=""
  for i in $(seq 1 20); do
    sleep 0.5
    for w in $(xdotool search --onlyvisible --pid $pid 2>/dev/null); do
      if [ "$w" != "$win" ] && [ "$(xdotool getwindowname "$w" 2>/dev/null)" != "" ]; then dialog=$w; fi
    done
    [ -n "$dialog" ] && break
  done
  if [ -z "$dialog" ]; then echo "screenshot.sh: no dialog came up" >&2; exit 1; fi
  sleep 2
  "$BIN/pel_xgrab" "$DIALOG_OUT" "$dialog"
fi
kill $pid 2>/dev/null || true
wait $pid 2>/dev/null || true
SESSION
export BIN WORK OUT DIALOG_OUT
xvfb-run -a -s "-screen 0 1000x700x24" bash "$WORK/session.sh"
echo "screenshot: $OUT"
if [ -n "$DIALOG_OUT" ]; then echo "screenshot: $DIALOG_OUT"; fi

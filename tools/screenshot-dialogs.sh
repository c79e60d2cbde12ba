#!/usr/bin/env bash
# Renders each configuration dialog under a virtual X display to PNG files:
#   tools/screenshot-dialogs.sh [output folder]   (default: build/screenshots)
# The login page comes from the local stand-in service when the tree has it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PIXOLUNE_BUILD_DIR:-$root/build}
out=${1:-$build/screenshots}

[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja
cmake --build "$build" -j2 --target ui_dialog_screenshots

# A throw-away home keeps the picker's and the web engine's state out of the real one.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/Pictures/Pixolune" "$home/runtime"
chmod 700 "$home/runtime"

# Chromium's sandbox refuses to run as root; these pages are local test pages only.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" \
  XDG_DATA_HOME="$home/.local/share" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
  QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --disable-background-networking" \
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bin/ui_dialog_screenshots" "$out"

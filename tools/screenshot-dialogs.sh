#!/usr/bin/env bash
# Renders each configuration dialog under a virtual X display to PNG files:
#   tools/screenshot-dialogs.sh [--lang LANG] [--scale N] [output folder]
# (default folder: build/screenshots). --lang de shows the dialogs in German
# (any language with a .ts file in ui/translations), --scale 2 at twice the
# size, as on a high-density screen. The login page comes from the local
# stand-in service when the tree has it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PIXOLUNE_BUILD_DIR:-$root/build}
lang=en_US
scale=1
while [ $# -gt 0 ]; do
  case "$1" in
    --lang) lang=${2:?--lang needs a language}; shift 2 ;;
    --scale) scale=${2:?--scale needs a factor}; shift 2 ;;
    *) break ;;
  esac
done
out=${1:-$build/screenshots}

[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja
cmake --build "$build" -j2 --target ui_dialog_screenshots pixolune_ui_lrelease

# A throw-away home keeps the picker's and the web engine's state out of the real one.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/Pictures/Pixolune" "$home/runtime"
chmod 700 "$home/runtime"

# Chromium's sandbox refuses to run as root; these pages are local test pages only.
if [ "$(id -u)" -eq 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi
width=$((1280 * scale))
height=$((1024 * scale))
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" \
  XDG_DATA_HOME="$home/.local/share" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=xcb \
  LANG="$lang.UTF-8" LANGUAGE="$lang" LC_ALL= QT_SCALE_FACTOR="$scale" \
  QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --disable-background-networking" \
  xvfb-run -a -s "-screen 0 ${width}x${height}x24" "$build/bin/ui_dialog_screenshots" "$out"

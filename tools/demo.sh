#!/usr/bin/env bash
# The main job, end to end on this machine: sets up and builds, starts the
# local stand-in service with a demo account, points the plug-in at it and
# runs kalhost until the first download batch is complete. The photos, their
# sidecars and the list file are left in $DEMO_DIR (default: ./demo-output).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Only what the demo runs; tools/test.sh builds the rest in the same folder.
"$root/tools/setup.sh" --target pixolune_plugin --target kalhost --target pixolune-stub "$root/build"
bin=$root/build/bin

demo=${DEMO_DIR:-$PWD/demo-output}
mkdir -p "$demo/media"
demo=$(cd "$demo" && pwd)
# The demo keeps its own host settings and token store, away from the user's own.
export XDG_CONFIG_HOME=$demo/config
export XDG_STATE_HOME=$demo/state
token=tok-alice
mkdir -p -m 700 "$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin"
printf '%s\0' "$token" > "$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin/TokenKAL"
chmod 600 "$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin/TokenKAL"

cat > "$demo/kalhost.ini" <<INI
[PixolunePlugIn]
Enabled=1
ImgFolder=$demo/media/
tmUpdate=180
DwlPhoto=1
DwlVideo=1
KpropTitle=1
KpropOwner=1
AuthPrefix=Photo by
FeedsSynch=0
nFeeds=3
Feed0_Type=1
Feed0_Flg=1
Feed0_MaxP=40
Feed1_Type=2
Feed1_Flg=1
Feed1_MaxP=40
Feed2_Type=5
Feed2_Tags="sunset, beach"
Feed2_Flg=1
Feed2_MaxP=10
INI

port_file=$(mktemp)
"$bin/pixolune-stub" --generate items=30,seed=7,videos=5 --exit-after 600 >"$port_file" &
stub=$!
trap 'kill $stub 2>/dev/null || true; rm -f "$port_file"' EXIT
for _ in $(seq 100); do grep -q '^PORT=' "$port_file" && break; sleep 0.1; done
port=$(sed -n 's/^PORT=//p' "$port_file" | head -n1)
[ -n "$port" ] || { echo "demo: the stand-in service did not start" >&2; exit 1; }
echo "demo: stand-in service on http://127.0.0.1:$port"

PIXOLUNE_API_BASE=http://127.0.0.1:$port/v1 \
  "$bin/kalhost" --settings "$demo/kalhost.ini" run --once --seconds 300

echo
echo "demo: $(find "$demo/media" -type f ! -name '*.kprop' ! -name '*.lst' | wc -l) media files," \
     "$(find "$demo/media" -name '*.kprop' | wc -l) sidecars and the list file are in $demo/media"
find "$demo/media" -maxdepth 1 -type f | sort | head -n 8 || true

#!/usr/bin/env bash
# What the plug-in costs a small frame, beside curl on the same files:
#   - loading it: `kalhost version`, the wall time (median of RUNS) and peak
#     resident memory of the whole process, beside `kalhost --help`, the host
#     program alone, which loads no plug-in;
#   - 1 GiB over HTTPS on loopback (4 x 256 MiB from the stand-in): CPU time
#     and peak resident memory of `kalhost run --once` (feed query, the four
#     files stored, the list written), of curl one after another and of curl
#     --parallel --parallel-max 4 on the same addresses;
#   - with IDLE_SECONDS set, the CPU time and wake-ups of `kalhost run` idling
#     that long between refreshes of a 1-minute interval.
# Peak memory is the kernel's high-water mark of each process (getrusage).
# With BEFORE_BUILD naming another build tree (an earlier version), its
# kalhost is measured in the same run, row for row.
#   bench/frame_footprint.sh [BUILD_DIR]      (RUNS=20 by default)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${RUNS:-20}
stub="$build/bin/pixolune-stub"
builds=("$build")
[ -n "${BEFORE_BUILD:-}" ] && builds+=("$(cd "$BEFORE_BUILD" && pwd)")
for tree in "${builds[@]}"; do
  [ -x "$tree/bin/kalhost" ] || { echo "frame_footprint: $tree/bin/kalhost is not built" >&2; exit 1; }
done
[ -x "$stub" ] || { echo "frame_footprint: $stub is not built" >&2; exit 1; }
for tool in curl openssl python3; do
  command -v "$tool" >/dev/null || { echo "frame_footprint: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# measure [RUNS] COMMAND...: runs it RUNS times (default 1) and prints
# "wall_s cpu_s peak_kb wakeups status": the median wall time, and the CPU
# time and voluntary context switches (wake-ups) per run, of the process and
# its children; peak_kb is the largest of any run. The command is spawned
# without a copy of this interpreter, so that its start-up is what is timed.
measure() {
  local times=1
  [[ "$1" =~ ^[0-9]+$ ]] && { times=$1; shift; }
  python3 - "$times" "$@" <<'PY'
import resource, shutil, statistics, subprocess, sys, time
times, command = int(sys.argv[1]), sys.argv[2:]
command[0] = shutil.which(command[0]) or command[0]
walls, status = [], 0
for _ in range(times):
    start = time.monotonic()
    status = subprocess.call(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             close_fds=False)
    walls.append(time.monotonic() - start)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (usage.ru_utime + usage.ru_stime) / times
print(f"{statistics.median(walls):.4f} {cpu:.3f} {usage.ru_maxrss} {usage.ru_nvcsw // times} {status}")
PY
}

mb() { python3 -c "print($1/1000)"; }

# The plug-in's own world: settings, token store and health record of its own.
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state HOME=$work
unset DBUS_SESSION_BUS_ADDRESS
mkdir -p -m 700 "$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin"
printf '%s\0' tok-alice >"$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin/TokenKAL"
chmod 600 "$XDG_CONFIG_HOME/Software/Torvane/PixolunePlugin/TokenKAL"

# label TREE: how a row names the build it measured.
label() { [ "$1" = "$build" ] && echo "" || echo " (before)"; }

echo "loading the plug-in (median of $runs):"
for tree in "${builds[@]}"; do
  for args in "version" "--help"; do
    read -r wall _ rss _ _ < <(measure "$runs" "$tree/bin/kalhost" --settings "$work/version.ini" $args)
    name="kalhost $args$(label "$tree")"
    [ "$args" = --help ] && name="$name, the host alone"
    printf '  %-46s %8.1f ms %8.1f MB peak\n' "$name" "$(python3 -c "print($wall*1000)")" "$(mb "$rss")"
  done
done

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
# start_stub FILES SIZE: the stand-in over HTTPS with FILES images of SIZE bytes.
start_stub() {
  python3 - "$1" "$2" >"$work/scenario.json" <<'PY'
import json, sys
n, size = int(sys.argv[1]), int(sys.argv[2])
items = [{"type": "image", "media": f"m{i}.jpg", "caption": "c", "user": "u", "size": size}
         for i in range(n)]
print(json.dumps({"page_size": 20, "tokens": {"tok-alice": {"username": "alice"}},
                  "feeds": {"feed": items}}))
PY
  "$stub" --https --cert "$work/cert.pem" --key "$work/key.pem" --scenario "$work/scenario.json" \
    --exit-after 900 >"$work/stub.out" 2>"$work/stub.err" &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^PORT=' "$work/stub.out" 2>/dev/null && break
    sleep 0.1
  done
  port=$(sed -n 's/^PORT=//p' "$work/stub.out")
  [ -n "$port" ] || { echo "frame_footprint: the stand-in did not start" >&2; exit 1; }
}

# settings FOLDER MINUTES: a host settings file reading the stand-in's feed into FOLDER.
settings() {
  mkdir -p "$1"
  cat >"$work/kalhost.ini" <<INI
[PixolunePlugIn]
Enabled=1
ImgFolder=$1/
tmUpdate=$2
DwlPhoto=1
DwlVideo=1
RestartKal=0
nFeeds=1
Feed0_Type=1
Feed0_Flg=1
Feed0_MaxP=1000
INI
}

row() {  # NAME WALL CPU PEAK_KB
  printf '  %-46s %7.2f s %6.2f s CPU %8.1f MB peak\n' "$1" "$2" "$3" "$(mb "$4")"
}

files=4
size=$((256 << 20))
start_stub "$files" "$size"
base="https://127.0.0.1:$port"
export PIXOLUNE_CA_BUNDLE=$work/cert.pem PIXOLUNE_API_BASE=$base/v1
echo "1 GiB over HTTPS on loopback ($files x 256 MiB):"
for tree in "${builds[@]}"; do
  settings "$work/media" 0
  read -r wall cpu rss _ status < <(measure "$tree/bin/kalhost" --settings "$work/kalhost.ini" run --once --seconds 600)
  stored=$(find "$work/media" -name '*.jpg' | wc -l)
  row "kalhost run --once$(label "$tree") ($stored stored, status $status)" "$wall" "$cpu" "$rss"
  rm -rf "$work/media" "$XDG_STATE_HOME"
done
args=()
for i in $(seq 0 $((files - 1))); do args+=(-o /dev/null "$base/media/m$i.jpg"); done
read -r wall cpu rss _ _ < <(measure curl -s -S --cacert "$work/cert.pem" "${args[@]}")
row "curl one after another" "$wall" "$cpu" "$rss"
read -r wall cpu rss _ _ < <(measure curl -s -S --cacert "$work/cert.pem" --parallel --parallel-max 4 "${args[@]}")
row "curl --parallel --parallel-max 4" "$wall" "$cpu" "$rss"

if [ -n "${IDLE_SECONDS:-}" ]; then
  echo "idle between refreshes (1-minute refresh, ${IDLE_SECONDS} s, one small file):"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  pids=()
  start_stub 1 1024
  export PIXOLUNE_API_BASE="https://127.0.0.1:$port/v1"
  for tree in "${builds[@]}"; do
    settings "$work/idle" 1
    read -r _ cpu rss wakeups _ < <(measure timeout -s INT "$IDLE_SECONDS" "$tree/bin/kalhost" \
      --settings "$work/kalhost.ini" run)
    printf '  %-46s %7.2f s CPU %6d wake-ups %8.1f MB peak\n' "kalhost run$(label "$tree")" "$cpu" \
      "$wakeups" "$(mb "$rss")"
    rm -rf "$work/idle" "$XDG_STATE_HOME"
  done
fi

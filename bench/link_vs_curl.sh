#!/usr/bin/env bash
# 100 media files of 256 KiB over HTTPS from the stand-in, fetched by the
# worker (bench_engine --worker-batch, feed query included), by curl one
# after another on one command line (one connection reused) and by
# curl --parallel --parallel-max 4; beside them the link's own limit
# (bytes / rate). Once through link_relay (25 ms each way = 50 ms round trip,
# 100 Mbit/s shared) and once on loopback. Connections are counted at the
# stand-in (client connections that carried requests).
#   bench/link_vs_curl.sh [BUILD_DIR] [FILES]      (defaults: build, 100)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
files=${2:-100}
size=$((256 * 1024))
stub="$build/bin/pixolune-stub"
relay="$build/bin/link_relay"
bench="$build/bin/bench_engine"
for program in "$stub" "$relay" "$bench"; do
  [ -x "$program" ] || { echo "link_vs_curl: $program is not built" >&2; exit 1; }
done
for tool in curl openssl python3; do
  command -v "$tool" >/dev/null || { echo "link_vs_curl: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
python3 - "$files" "$size" >"$work/scenario.json" <<'PY'
import json, sys
n, size = int(sys.argv[1]), int(sys.argv[2])
items = [{"type": "image", "media": f"m{i}.jpg", "caption": "c", "user": "u", "size": size}
         for i in range(n)]
print(json.dumps({"page_size": 100, "tokens": {"tok-alice": {"username": "alice"}},
                  "feeds": {"feed": items}}))
PY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_port() {  # file -> the number after PORT=
  for _ in $(seq 100); do
    grep -q '^PORT=' "$1" 2>/dev/null && break
    sleep 0.1
  done
  sed -n 's/^PORT=//p' "$1"
}

now() { date +%s.%N; }

control() { curl -s --cacert "$work/cert.pem" "$@"; }

# run_case NAME [DELAY_MS MBIT]: prints one table row per client.
run_case() {
  local name=$1 delay=${2:-} mbit=${3:-}
  local port public
  port=$(free_port)
  public=$port
  if [ -n "$delay" ]; then
    "$relay" --target "$port" --delay-ms "$delay" --mbit "$mbit" >"$work/relay.out" &
    pids+=($!)
    public=$(wait_port "$work/relay.out")
  fi
  "$stub" --port "$port" --public-port "$public" --https --cert "$work/cert.pem" \
    --key "$work/key.pem" --scenario "$work/scenario.json" --exit-after 900 \
    >"$work/stub.out" 2>"$work/stub.err" &
  pids+=($!)
  [ -n "$(wait_port "$work/stub.out")" ] || { echo "link_vs_curl: the stand-in did not start" >&2; exit 1; }
  local direct="https://127.0.0.1:$port" base="https://127.0.0.1:$public"
  local args=()
  for i in $(seq 0 $((files - 1))); do args+=(-o /dev/null "$base/media/m$i.jpg"); done

  connections() {
    control "$direct/_control/connections" | python3 -c 'import json,sys; print(json.load(sys.stdin)["connections"])'
  }
  row() { printf '  %-34s %8.2f s %6s connections\n' "$1" "$2" "$3"; }

  echo "$name:"
  control -d "" "$direct/_control/requests/clear" >/dev/null
  local out
  out=$(PIXOLUNE_CA_BUNDLE="$work/cert.pem" PIXOLUNE_API_BASE="$base/v1" "$bench" --worker-batch)
  local seconds stored
  seconds=$(sed -n 's/.*worker_seconds=\([0-9.]*\).*/\1/p' <<<"$out")
  stored=$(sed -n 's/.*files=\([0-9]*\).*/\1/p' <<<"$out")
  row "worker ($stored files, feed query incl.)" "$seconds" "$(connections)"

  control -d "" "$direct/_control/requests/clear" >/dev/null
  local start end
  start=$(now); curl -s -S --cacert "$work/cert.pem" "${args[@]}"; end=$(now)
  row "curl one after another" "$(python3 -c "print($end-$start)")" "$(connections)"

  control -d "" "$direct/_control/requests/clear" >/dev/null
  start=$(now); curl -s -S --cacert "$work/cert.pem" --parallel --parallel-max 4 "${args[@]}" 2>"$work/curl.err"; end=$(now)
  row "curl --parallel --parallel-max 4" "$(python3 -c "print($end-$start)")" "$(connections)"

  if [ -n "$mbit" ]; then
    row "the link's limit (bytes / rate)" "$(python3 -c "print($files*$size*8/($mbit*1e6))")" "-"
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  pids=()
}

run_case "$files x 256 KiB over HTTPS, 50 ms round trip, 100 Mbit/s (link_relay)" 25 100
run_case "$files x 256 KiB over HTTPS on loopback"

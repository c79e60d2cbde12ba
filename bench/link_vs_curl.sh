#!/usr/bin/env bash
# Media files over HTTPS from the stand-in, fetched by the worker
# (bench_engine --worker-batch: the feed read page by page, the files stored),
# by curl one after another on one command line (one connection reused) and
# by curl --parallel --parallel-max 4 and 16; beside them the link's own limit
# (bytes / rate). Over link_relay the feed comes in pages of 20, as a real
# feed does, and curl is handed every address at once, the pages' included.
# Cases: 50 x 256 KiB through link_relay at a 200 ms round trip (100 ms each
# way, 100 Mbit/s shared; 3 pages), FILES x 256 KiB at a 50 ms round trip,
# one 64 MiB video on a line that drops every 16 MiB (with the bytes that went
# down the line), and FILES x 256 KiB on loopback. Each row says the
# connections its client opened: counted at the stand-in (client connections
# that carried requests), or at the relay where nginx stands in front.
# Where nginx is installed, the relayed rows are run again with nginx in front
# of the stand-in offering HTTP/2, as media hosts do: the stand-in speaks
# HTTP/1.1 only, where at most 6 connections go to a host. A relayed case ends
# with the worker's time over curl -Z16's and over the link's limit.
#   bench/link_vs_curl.sh [BUILD_DIR] [FILES]      (defaults: build, 100)
# With RATE_KB set, only FILES x 256 KiB at 100 Mbit/s under that rate cap is
# run, and the bytes the worker stored in each second are listed. With
# HTTP2_ONLY set, only the rows with nginx in front are run. With BEFORE_BUILD
# naming another build tree (an earlier version), its worker is run too, in
# the same case and beside the same curl.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
files=${2:-100}
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
# scenario FILES SIZE KIND PAGE: the feed's items, FILES of SIZE bytes, images
# or videos, in pages of PAGE.
scenario() {
  python3 - "$1" "$2" "$3" "$4" >"$work/scenario.json" <<'PY'
import json, sys
n, size, kind, page = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
suffix = "mp4" if kind == "video" else "jpg"
items = [{"type": kind, "media": f"m{i}.{suffix}", "caption": "c", "user": "u", "size": size}
         for i in range(n)]
print(json.dumps({"page_size": page, "tokens": {"tok-alice": {"username": "alice"}},
                  "feeds": {"feed": items}}))
PY
}

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

# nginx_front PORT STUB_PORT: nginx on PORT, HTTP/2 over TLS, passing every
# request on to the stand-in; in the foreground, so that its pid is ours.
nginx_front() {
  local prefix="$work/nginx"
  mkdir -p "$prefix"
  cat >"$prefix/nginx.conf" <<EOF
daemon off;
master_process off;
pid $prefix/nginx.pid;
error_log $prefix/error.log;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $prefix/body;
  proxy_temp_path $prefix/proxy;
  fastcgi_temp_path $prefix/fastcgi;
  uwsgi_temp_path $prefix/uwsgi;
  scgi_temp_path $prefix/scgi;
  upstream stand_in { server 127.0.0.1:$2; keepalive 32; }
  server {
    listen 127.0.0.1:$1 ssl http2;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    location / {
      proxy_pass https://stand_in;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$http_host;
      proxy_buffering off;
    }
  }
}
EOF
  nginx -e "$prefix/error.log" -p "$prefix" -c "$prefix/nginx.conf" &
  pids+=($!)
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return
    sleep 0.1
  done
  echo "link_vs_curl: nginx did not start ($prefix/error.log)" >&2
  exit 1
}

# run_case NAME FILES SIZE KIND [DELAY_MS MBIT [DROP_MIB]]: one table row per
# client. With FRONT=nginx, nginx stands between the relay and the stand-in.
run_case() {
  local name=$1 files=$2 size=$3 kind=$4 delay=${5:-} mbit=${6:-} drop=${7:-}
  local port public suffix=jpg relayed relay_pid= page=100
  [ "$kind" = video ] && suffix=mp4
  [ -n "$delay" ] && page=20
  scenario "$files" "$size" "$kind" "$page"
  port=$(free_port)
  public=$port
  relayed=$port
  if [ "${FRONT:-}" = nginx ]; then
    relayed=$(free_port)
    nginx_front "$relayed" "$port"
  fi
  if [ -n "$delay" ]; then
    local dropping=()
    [ -n "$drop" ] && dropping=(--drop-every-mib "$drop")
    rm -f "$work/relay.count"  # the last case's relay counted there
    "$relay" --target "$relayed" --delay-ms "$delay" --mbit "$mbit" "${dropping[@]}" \
      --count-file "$work/relay.count" >"$work/relay.out" 2>"$work/relay.err" &
    relay_pid=$!
    pids+=($relay_pid)
    public=$(wait_port "$work/relay.out")
  fi
  "$stub" --port "$port" --public-port "$public" --https --cert "$work/cert.pem" \
    --key "$work/key.pem" --scenario "$work/scenario.json" --exit-after 900 \
    >"$work/stub.out" 2>"$work/stub.err" &
  pids+=($!)
  [ -n "$(wait_port "$work/stub.out")" ] || { echo "link_vs_curl: the stand-in did not start" >&2; exit 1; }
  local direct="https://127.0.0.1:$port" base="https://127.0.0.1:$public"
  # Every address the worker asks for: the feed's pages, then the files.
  local args=() feed="$base/v1/users/self/feed?access_token=tok-alice"
  args+=(-o /dev/null "$feed")
  for ((first = page; first < files; first += page)); do args+=(-o /dev/null "$feed&max_id=$first"); done
  for i in $(seq 0 $((files - 1))); do args+=(-o /dev/null "$base/media/m$i.$suffix"); done

  relay_count() { cat "$work/relay.count" 2>/dev/null || echo 0; }
  clear_counts() {
    control -d "" "$direct/_control/requests/clear" >/dev/null
    relay_count >"$work/relay.base"
  }
  connections() {
    if [ "${FRONT:-}" = nginx ]; then
      # nginx keeps its own connections to the stand-in; the client's are the relay's.
      echo $(($(relay_count) - $(cat "$work/relay.base")))
      return
    fi
    control "$direct/_control/connections" | python3 -c 'import json,sys; print(json.load(sys.stdin)["connections"])'
  }
  row() { printf '  %-42s %8.2f s %6s connections\n' "$1" "$2" "$3"; }

  echo "$name:"
  # worker BENCH: one batch; sets seconds (and out, for RATE_KB's lines).
  local out seconds stored pages=$(((files + page - 1) / page))
  worker() {
    clear_counts
    out=$(PIXOLUNE_CA_BUNDLE="$work/cert.pem" PIXOLUNE_API_BASE="$base/v1" "$1" --worker-batch)
    seconds=$(sed -n 's/.*worker_seconds=\([0-9.]*\).*/\1/p' <<<"$out")
    stored=$(sed -n 's/.*files=\([0-9]*\).*/\1/p' <<<"$out")
  }
  local before=
  if [ -n "${BEFORE_BUILD:-}" ] && [ -z "$drop" ] && [ -z "${RATE_KB:-}" ]; then
    worker "$BEFORE_BUILD/bin/bench_engine"
    before=$seconds
    row "worker before ($stored files, $pages pages)" "$seconds" "$(connections)"
  fi
  worker "$bench"
  row "worker ($stored files, $pages pages)" "$seconds" "$(connections)"
  if [ -n "${RATE_KB:-}" ]; then
    grep '^second=' <<<"$out" | sed 's/^/  /'
    row "bytes / (1.1 x the cap)" "$(python3 -c "print($files*$size/(1.1*$RATE_KB*1024))")" "-"
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
    pids=()
    return
  fi
  if [ -n "$drop" ]; then
    # The relay says on exit how much went down the line.
    kill "$relay_pid" && wait "$relay_pid" 2>/dev/null || true
    local sent
    sent=$(sed -n 's/.* \([0-9]*\) bytes sent down/\1/p' "$work/relay.err")
    printf '  %-34s %8.2f x the file (%s bytes)\n' "sent down the line" \
      "$(python3 -c "print(${sent:-0}/($files*$size))")" "${sent:-?}"
    row "the link's limit (bytes / rate)" "$(python3 -c "print($files*$size*8/($mbit*1e6))")" "-"
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
    pids=()
    return
  fi

  clear_counts
  local start end
  start=$(now); curl -s -S --cacert "$work/cert.pem" "${args[@]}"; end=$(now)
  row "curl one after another" "$(python3 -c "print($end-$start)")" "$(connections)"

  clear_counts
  start=$(now); curl -s -S --cacert "$work/cert.pem" --parallel --parallel-max 4 "${args[@]}" 2>"$work/curl.err"; end=$(now)
  row "curl --parallel --parallel-max 4" "$(python3 -c "print($end-$start)")" "$(connections)"

  clear_counts
  local z16
  start=$(now); curl -s -S --cacert "$work/cert.pem" --parallel --parallel-max 16 "${args[@]}" 2>"$work/curl.err"; end=$(now)
  z16=$(python3 -c "print($end-$start)")
  row "curl --parallel --parallel-max 16" "$z16" "$(connections)"

  if [ -n "$mbit" ]; then
    local limit
    limit=$(python3 -c "print($files*$size*8/($mbit*1e6))")
    row "the link's limit (bytes / rate)" "$limit" "-"
    [ -n "$before" ] && printf '  %-42s %8.2f x curl -Z16, %.2f x the limit\n' "the worker before" \
      "$(python3 -c "print($before/$z16)")" "$(python3 -c "print($before/$limit)")"
    printf '  %-42s %8.2f x curl -Z16, %.2f x the limit\n' "the worker" \
      "$(python3 -c "print($seconds/$z16)")" "$(python3 -c "print($seconds/$limit)")"
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  pids=()
}

kib256=$((256 * 1024))
if [ -n "${RATE_KB:-}" ]; then
  export PIXOLUNE_BENCH_MAX_RATE_KB=$RATE_KB
  run_case "$files x 256 KiB over HTTPS, 50 ms round trip, 100 Mbit/s, cap $RATE_KB KB/s" \
    "$files" "$kib256" image 25 100
  exit 0
fi
if [ -z "${HTTP2_ONLY:-}" ]; then
  run_case "50 x 256 KiB over HTTPS, 200 ms round trip, 100 Mbit/s (link_relay)" 50 "$kib256" image 100 100
  run_case "$files x 256 KiB over HTTPS, 50 ms round trip, 100 Mbit/s (link_relay)" "$files" "$kib256" image 25 100
fi
if command -v nginx >/dev/null; then
  FRONT=nginx run_case "50 x 256 KiB over HTTPS with HTTP/2 (nginx in front), 200 ms round trip, 100 Mbit/s" \
    50 "$kib256" image 100 100
  FRONT=nginx run_case "$files x 256 KiB over HTTPS with HTTP/2 (nginx in front), 50 ms round trip, 100 Mbit/s" \
    "$files" "$kib256" image 25 100
  [ -n "${HTTP2_ONLY:-}" ] && exit 0
  FRONT=nginx run_case "one 64 MiB video over HTTP/2 (nginx in front), 50 ms, 100 Mbit/s, drops every 16 MiB" \
    1 $((64 << 20)) video 25 100 16
else
  echo "(nginx is not installed: the rows over HTTP/2 are left out)"
fi
[ -n "${HTTP2_ONLY:-}" ] && exit 0
run_case "one 64 MiB video, 50 ms round trip, 100 Mbit/s, the line drops every 16 MiB" 1 $((64 << 20)) video 25 100 16
run_case "$files x 256 KiB over HTTPS on loopback" "$files" "$kib256" image

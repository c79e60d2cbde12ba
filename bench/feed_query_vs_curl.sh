#!/usr/bin/env bash
# Queries a feed of 50 pages x 20 items from the local stand-in with the
# service client (bench_service) and, in the same run, fetches the same 50
# pages with the curl command line; prints both figures.
#   bench/feed_query_vs_curl.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
bench="$build/bin/bench_service"
stub="$build/bin/pixolune-stub"
for program in "$bench" "$stub"; do
  [ -x "$program" ] || { echo "feed_query_vs_curl: $program is not built" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "feed_query_vs_curl: curl is not installed" >&2; exit 1; }

work=$(mktemp -d)
stub_pid=
cleanup() {
  [ -n "$stub_pid" ] && kill "$stub_pid" 2>/dev/null && wait "$stub_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== service client (bench_service)"
"$bench" --benchmark_format=json --benchmark_out="$work/bench.json" \
  --benchmark_out_format=json >/dev/null 2>"$work/bench.err"
read -r client_items client_outside < <(python3 - "$work/bench.json" <<'PY'
import json, sys
run = json.load(open(sys.argv[1]))["benchmarks"][0]
print(f'{run["items_per_second"]:.0f} {run["outside_http_pct"]:.1f}')
PY
)

echo "== curl command line"
# The same generated scenario as bench_service.
"$stub" --generate items=1000,seed=7,videos=200 --exit-after 300 >"$work/stub.out" 2>"$work/stub.err" &
stub_pid=$!
for _ in $(seq 100); do
  grep -q '^PORT=' "$work/stub.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^PORT=//p' "$work/stub.out")
[ -n "$port" ] || { echo "feed_query_vs_curl: the stand-in did not start" >&2; exit 1; }

# Collect the 50 page addresses first (not timed), following next_url.
url="http://127.0.0.1:$port/v1/users/self/feed?access_token=tok-alice"
: >"$work/urls"
for _ in $(seq 50); do
  [ -n "$url" ] || break
  echo "$url" >>"$work/urls"
  url=$(curl -s "$url" | python3 -c 'import json,sys; print(json.load(sys.stdin).get("pagination",{}).get("next_url",""))')
done
pages=$(wc -l <"$work/urls")
[ "$pages" -eq 50 ] || { echo "feed_query_vs_curl: only $pages pages" >&2; exit 1; }

rounds=10
start=$(date +%s.%N)
for _ in $(seq "$rounds"); do
  while read -r page; do curl -s -o /dev/null "$page"; done <"$work/urls"
done
end=$(date +%s.%N)
per_process=$(python3 -c "print(f'{$rounds*50*20/($end-$start):.0f}')")

mapfile -t urls <"$work/urls"
args=()
for page in "${urls[@]}"; do args+=(-o /dev/null "$page"); done
start=$(date +%s.%N)
for _ in $(seq "$rounds"); do curl -s "${args[@]}"; done
end=$(date +%s.%N)
one_process=$(python3 -c "print(f'{$rounds*50*20/($end-$start):.0f}')")

echo
echo "50 pages x 20 items from the stand-in on 127.0.0.1:"
echo "  service client QueryFeed:         $client_items items/s, ${client_outside}% of the time outside the HTTP transfers"
echo "  curl, one process per page:       $per_process items/s (transfer only, nothing parsed)"
echo "  curl, one process for 50 pages:   $one_process items/s (one connection reused, nothing parsed)"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60)
# on a scratch copy of its committed seed corpus. Exits non-zero when a target
# finds a crash, a leak or undefined behaviour; the input is left in build-fuzz/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"

if ! command -v clang++ >/dev/null; then
  echo "run-fuzzers: clang++ is not installed" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPIXOLUNE_FUZZ=ON -DPIXOLUNE_TESTS=OFF -DPIXOLUNE_BENCH=OFF -DPIXOLUNE_UI=OFF >/dev/null
targets=(feed_reply user_reply local_name list_file redirect_address)
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for name in "${targets[@]}"; do
  mkdir -p "$scratch/$name"
  cp "$root/fuzz/corpus/$name"/* "$scratch/$name/"
  echo "== fuzz_$name for ${seconds}s"
  (cd "$build" && "$build/bin/fuzz_$name" -max_total_time="$seconds" -max_len=65536 \
     -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$scratch/$name")
done

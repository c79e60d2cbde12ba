#!/usr/bin/env bash
# Lives DAYS simulated days of the engine (two-minute refreshes against a
# changing, failing service, deaths at random) and checks its promises after
# every batch and every death:
#   tools/long-life.sh DAYS [SEED]
# Ends with "seed S, days D, batches B, files stored F, pruned P, deaths K,
# trace HEX: promises held", or the first promise broken with its seed, day,
# batch and last events; the same seed prints the same trace. With
# LONG_LIFE_LOG=FILE, the whole log goes to FILE. Builds if needed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: tools/long-life.sh DAYS [SEED]" >&2; exit 2; }
if [ ! -x "$build/bin/long_life" ]; then
  "$root/tools/setup.sh" --target long_life "$build" >/dev/null
else
  cmake --build "$build" --target long_life >/dev/null
fi
exec "$build/bin/long_life" "$@"

#!/usr/bin/env bash
# Lives DAYS simulated days of the engine (one-minute refreshes against a
# changing, failing service) and checks its promises after every batch:
#   tools/long-life.sh DAYS [SEED]
# Prints the seed, the batches run, the files stored and pruned, and "promises
# held" or the first promise broken with its batch and seed, after the last
# log lines; with LONG_LIFE_LOG=FILE, the whole log goes to FILE. Builds if needed.
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

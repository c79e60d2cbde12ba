#!/usr/bin/env bash
# Kills the worker 1,000 times at random points of a batch against the local
# stand-in service and checks after each kill that the list file reads back
# whole and every listed file (list and journal) is complete and has its
# sidecar. Usage: tools/crash-test.sh [BUILD_DIR] [KILLS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
kills=${2:-1000}
cmake --build "$build" -j2 --target engine_e2e_tests
PIXOLUNE_CRASH_KILLS=$kills "$build/bin/engine_e2e_tests" \
  --gtest_filter='WorkerEndToEnd.KilledWorkerAlwaysLeavesAWholeList'

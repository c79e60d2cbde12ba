#!/usr/bin/env bash
# Sets up and builds as tools/setup.sh does, then runs every test under CTest:
# the normal build, then the whole suite once more with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests with ThreadSanitizer, then
# each fuzz target for a short bounded run when clang++ is installed. After
# the normal build's tests it checks the staged install and the Debian package.
# With --quick only the normal build runs (the install check included).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1


# Nothing in the tree may switch certificate checks off.
if git -C "$root" grep -nIE 'SSL_VERIFY(PEER|HOST)[^;]*,[[:space:]]*(0|0L|false)[[:space:]]*\)|enable_server_certificate_verification\(false\)|--insecure|curl[^|;]*[[:space:]]-k[[:space:]]' -- ':!tools/test.sh'; then
  echo "test: certificate verification is switched off above" >&2
  exit 1
fi

"$root/tools/setup.sh" "$root/build"
echo "== tests: normal build"
ctest --test-dir "$root/build" --output-on-failure -j2 --timeout 600
echo "== install and package"
"$root/tools/check-install.sh" "$root/build"

if [ "$quick" -eq 0 ]; then
  echo "== tests: AddressSanitizer + UndefinedBehaviorSanitizer"
  "$root/tools/setup.sh" "$root/build-asan" -DPIXOLUNE_ASAN=ON -DPIXOLUNE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$root/tools/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build-asan" --output-on-failure -j2 --timeout 900 -LE no-sanitizer

  echo "== tests: ThreadSanitizer (threaded tests)"
  "$root/tools/setup.sh" "$root/build-tsan" -DPIXOLUNE_TSAN=ON -DPIXOLUNE_BENCH=OFF -DPIXOLUNE_UI=OFF -DCMAKE_BUILD_TYPE=Debug
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions="$root/tools/tsan.supp" \
    ctest --test-dir "$root/build-tsan" --output-on-failure -j2 --timeout 900 -L threaded --no-tests=error

  if command -v clang++ >/dev/null; then
    echo "== fuzz targets, 15 s each"
    "$root/tools/run-fuzzers.sh" 15
  else
    echo "== fuzz targets skipped: clang++ is not installed"
  fi
fi

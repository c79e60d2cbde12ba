#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, but
# only those that are missing; then configures and builds into build/ (or the
# folder given as $1, with extra CMake arguments after it).
#   tools/setup.sh [--target NAME]... [BUILD_DIR [CMAKE_ARGS...]]
# With --target only the named targets (and what they need) are built.
set -euo pipefail

targets=()
while [ "${1:-}" = "--target" ]; do
  [ -n "${2:-}" ] || { echo "setup: --target needs a name" >&2; exit 2; }
  targets+=(--target "$2")
  shift 2
done

packages=(
  build-essential cmake ninja-build pkg-config git
  libjsoncpp-dev libcurl4-openssl-dev libssl-dev libcpp-httplib-dev libsystemd-dev libsecret-1-dev
  qt6-base-dev qt6-webengine-dev qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  libgtest-dev libgmock-dev libbenchmark-dev
  clang curl openssl xvfb xauth dbus-daemon gnome-keyring
  dpkg-dev lintian
  # localedef's sources: the tests make a Turkish locale when the system has none
  locales
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"

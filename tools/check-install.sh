#!/usr/bin/env bash
# Checks what an install delivers, from a built tree (default: build/):
# stages `cmake --install` under DESTDIR and compares the file list, checks
# that no installed binary points into the build tree, that the staged kalhost
# finds the staged plug-in and that a host builds against the header through
# pkg-config, and that the user unit starts the installed kalhost; then builds
# the Debian package and checks its contents.
#   tools/check-install.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

expected=$(printf '%s\n' \
  usr/bin/kalhost \
  usr/bin/pixolune-stub \
  usr/include/kaleidra/kal_plugin_api.h \
  "usr/$libdir/kaleidra/plugins/libpixolune_plugin.so" \
  "usr/$libdir/pkgconfig/kaleidra-plugin.pc" \
  usr/lib/systemd/user/kalhost.service \
  usr/share/kaleidra-pixolune-plugin/translations/pixolune_de.qm | sort)

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
staged=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
[ "$staged" = "$expected" ] || fail "staged files differ from the expected list:
$(diff <(echo "$expected") <(echo "$staged") || true)"

for file in "$stage/usr/bin/"* "$stage/usr/$libdir/kaleidra/plugins/"*; do
  if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$file points into the build tree"
  fi
done

unit=$stage/usr/lib/systemd/user/kalhost.service
grep -qx 'ExecStart=/usr/bin/kalhost run' "$unit" || fail "the unit does not start the installed kalhost"
grep -qx 'Type=notify' "$unit" && grep -qx 'Restart=on-failure' "$unit" ||
  fail "the unit is not a notifying service restarted on failure"

version=$("$stage/usr/bin/kalhost" version 2>&1) || true
[[ "$version" == "Pixolune v"* ]] || fail "the staged kalhost did not load the staged plug-in: $version"

pc="env PKG_CONFIG_PATH=$stage/usr/$libdir/pkgconfig pkg-config --define-variable=prefix=$stage/usr"
[ "$($pc --variable=plugindir kaleidra-plugin)" = "$stage/usr/$libdir/kaleidra/plugins" ] ||
  fail "pkg-config's plugindir is not the plug-in folder"
printf '#include <kal_plugin_api.h>\nint main(void) { return KAL_MSG_ENABLED == 40 ? 0 : 1; }\n' \
  > "$work/host.c"
# shellcheck disable=SC2046
cc $($pc --cflags kaleidra-plugin) -Wall -Werror -o "$work/host" "$work/host.c" ||
  fail "a C host does not build against the installed header"

(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
  fail "cpack failed: $(cat "$work/cpack.log")"
deb=$(ls "$work/package"/*.deb)
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$contents" = "$expected" ] || fail "the package's files differ from the expected list:
$(diff <(echo "$expected") <(echo "$contents") || true)"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libc6* && "$depends" == *libqt6core6* ]] ||
  fail "the package's dependencies were not derived from its libraries: $depends"
echo "check-install: $(basename "$deb") holds the $(echo "$expected" | wc -l) expected files"

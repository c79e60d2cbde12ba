#!/usr/bin/env bash
# Checks what an install delivers, from a built tree (default: build/):
# stages `cmake --install` under DESTDIR and compares the file list, checks
# that no installed binary points into the build tree, that the staged kalhost
# finds the staged plug-in (which links no Qt) and its configure the dialogs'
# module, that a host builds against the header through pkg-config, that the
# user unit starts the installed kalhost and that `man kalhost` finds and
# renders its page; then builds the Debian package,
# checks its contents and has lintian check it (any error fails).
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
  "usr/$libdir/kaleidra/pixolune/libpixolune_dialogs.so" \
  "usr/$libdir/pkgconfig/kaleidra-plugin.pc" \
  usr/lib/systemd/user/kalhost.service \
  usr/share/doc/kaleidra-pixolune-plugin/changelog.gz \
  usr/share/doc/kaleidra-pixolune-plugin/copyright \
  usr/share/kaleidra-pixolune-plugin/translations/pixolune_de.qm \
  usr/share/man/man1/kalhost.1.gz \
  usr/share/man/man1/pixolune-stub.1.gz | sort)

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
staged=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
[ "$staged" = "$expected" ] || fail "staged files differ from the expected list:
$(diff <(echo "$expected") <(echo "$staged") || true)"

for file in "$stage/usr/bin/"* "$stage/usr/$libdir/kaleidra/plugins/"* "$stage/usr/$libdir/kaleidra/pixolune/"*; do
  if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$file points into the build tree"
  fi
done

unit=$stage/usr/lib/systemd/user/kalhost.service
grep -qx 'ExecStart=/usr/bin/kalhost run' "$unit" || fail "the unit does not start the installed kalhost"
grep -qx 'Type=notify' "$unit" && grep -qx 'Restart=on-failure' "$unit" ||
  fail "the unit is not a notifying service restarted on failure"

for page in kalhost pixolune-stub; do
  found=$(MANPATH="$stage/usr/share/man" man -w "$page" 2>/dev/null) || true
  [ "$found" = "$stage/usr/share/man/man1/$page.1.gz" ] || fail "man $page does not find the installed page"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$found" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "the manual page of $page has faults: $warnings"
done
for section in COMMANDS OPTIONS ENVIRONMENT FILES "EXIT STATUS"; do
  LC_ALL=C.UTF-8 man -l "$stage/usr/share/man/man1/kalhost.1.gz" 2>/dev/null | grep -qx "$section" ||
    fail "the manual page of kalhost has no $section"
done

version=$("$stage/usr/bin/kalhost" version 2>&1) || true
[[ "$version" == "Pixolune v"* ]] || fail "the staged kalhost did not load the staged plug-in: $version"
needed=$(readelf -d "$stage/usr/$libdir/kaleidra/plugins/libpixolune_plugin.so" | grep NEEDED || true)
[[ "$needed" != *Qt* ]] || fail "the plug-in links Qt itself: $needed"

# The staged kalhost's configure loads the staged dialogs' module (and Qt with
# it) and shows its modal dialog, which stays up until it is killed here.
mkdir -p "$work/home"
env -u DBUS_SESSION_BUS_ADDRESS HOME="$work/home" XDG_CONFIG_HOME="$work/home" \
  XDG_STATE_HOME="$work/home" QT_QPA_PLATFORM=offscreen \
  "$stage/usr/bin/kalhost" --settings "$work/home/kalhost.ini" configure >"$work/configure.log" 2>&1 &
configure=$!
module="$stage/usr/$libdir/kaleidra/pixolune/libpixolune_dialogs.so"
shown=
for _ in $(seq 150); do
  if grep -qF "$module" "/proc/$configure/maps" 2>/dev/null &&
    grep -q libQt6Widgets "/proc/$configure/maps" 2>/dev/null; then
    # Without a dialog to show it would end at once ("configuration cancelled").
    sleep 1
    kill -0 "$configure" 2>/dev/null && shown=yes
    break
  fi
  kill -0 "$configure" 2>/dev/null || break
  sleep 0.1
done
kill "$configure" 2>/dev/null || true
wait "$configure" 2>/dev/null || true
[ -n "$shown" ] || fail "the staged kalhost configure did not load the staged dialogs' module: $(cat "$work/configure.log")"

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
[[ "$depends" == *libc6* && "$depends" == *libqt6core6* && "$depends" == *libcurl* ]] ||
  fail "the package's dependencies were not derived from its libraries: $depends"
if command -v lintian >/dev/null; then
  # It fails on errors (and on itself failing); warnings are shown. Root,
  # as CI builds, only draws a remark.
  status=0
  lintian "$deb" >"$work/lintian.log" 2>&1 || status=$?
  sed '/running with root privileges/d' "$work/lintian.log" >&2
  [ "$status" -eq 0 ] || fail "lintian reports errors in $(basename "$deb") (status $status)"
else
  echo "check-install: lintian is not installed; the package was not checked by it" >&2
fi
echo "check-install: $(basename "$deb") holds the $(echo "$expected" | wc -l) expected files"

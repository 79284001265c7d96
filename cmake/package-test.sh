#!/bin/bash
# Builds the Debian packages with CPack and checks them: names, SONAME,
# dependencies, shlibs, contents; then unpacks both and builds and runs the
# consumer programs against the unpacked tree.
#   cmake/package-test.sh [BUILD_DIR]    (default build/default; built if absent)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build/default}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "package-test: $*"; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default -S "$src" >/dev/null && cmake --build "$build" -j2 >/dev/null
fi
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
rt=$work/out/libchronels1_1.0.0_$arch.deb
dev=$work/out/libchronels-dev_1.0.0_$arch.deb
[ -f "$rt" ] && [ -f "$dev" ] || fail "packages: $(ls "$work/out")"

field() { dpkg-deb -f "$1" "$2"; }
step "libchronels1: Depends: $(field "$rt" Depends)"
field "$rt" Depends | grep -q '^libc6 (>= ' || fail "libchronels1 does not depend on libc6 (from shlibdeps)"
[ "$(field "$dev" Depends)" = "libchronels1 (= 1.0.0)" ] || fail "libchronels-dev Depends: $(field "$dev" Depends)"
dpkg-deb -I "$rt" shlibs | grep -qx 'libchronels 1 libchronels1 (>= 1.0.0)' || fail "shlibs: $(dpkg-deb -I "$rt" shlibs)"

# The runtime package holds the shared object and its SONAME link only;
# the dev link and everything to build with are in the dev package.
list() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort | tr '\n' ' '; }
[ "$(list "$rt")" = "usr/lib/libchronels.so.1 usr/lib/libchronels.so.1.0.0 " ] || fail "libchronels1 holds: $(list "$rt")"
for f in usr/include/chronels.h usr/lib/libchronels.so usr/lib/pkgconfig/chronels.pc \
         usr/lib/cmake/chronels/chronelsConfig.cmake usr/lib/cmake/chronels/chronelsTargets.cmake \
         usr/share/man/man3/chronel_init.3 usr/share/man/man3/chronel_create_cs.3; do
  list "$dev" | grep -q " $f \|^$f " || fail "libchronels-dev lacks $f"
done
dpkg-deb -x "$rt" "$work/root" && dpkg-deb -x "$dev" "$work/root"
readelf -d "$work/root/usr/lib/libchronels.so.1.0.0" | grep -q 'soname: \[libchronels.so.1\]' || fail "SONAME in package"
step "contents, SONAME, dependencies and shlibs ok"
PREFIX=$work/root/usr bash "$src/cmake/consumer-test.sh" | sed 's/^/package-test: /'
step "ok"

#!/bin/bash
# Builds the Debian packages with CPack (libchronels1, libchronels-dev,
# chronels-tools) and checks them: architecture, names, SONAME,
# dependencies, shlibs, contents; then unpacks both and builds and runs the
# consumer programs against the unpacked tree; for a cross build (PowerPC)
# with the cross compiler, run under qemu-ppc.
#   cmake/package-test.sh [BUILD_DIR]    (default build/default; built if absent)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build/default}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "package-test: $*"; }
field() { dpkg-deb -f "$1" "$2"; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default -S "$src" >/dev/null && cmake --build "$build" -j2 >/dev/null
fi
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
# A cross build packages for its target (CPACK_DEBIAN_PACKAGE_ARCHITECTURE).
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=${arch:-$(dpkg --print-architecture)}
rt=$work/out/libchronels1_1.0.0_$arch.deb
dev=$work/out/libchronels-dev_1.0.0_$arch.deb
tools=$work/out/chronels-tools_1.0.0_$arch.deb
[ -f "$rt" ] && [ -f "$dev" ] && [ -f "$tools" ] || fail "packages for $arch: $(ls "$work/out")"
for p in "$rt" "$dev" "$tools"; do
  [ "$(field "$p" Architecture)" = "$arch" ] || fail "$p: Architecture $(field "$p" Architecture)"
done

step "libchronels1: Depends: $(field "$rt" Depends)"
field "$rt" Depends | grep -q '^libc6 (>= ' || fail "libchronels1 does not depend on libc6 (from shlibdeps)"
[ "$(field "$dev" Depends)" = "libchronels1 (= 1.0.0)" ] || fail "libchronels-dev Depends: $(field "$dev" Depends)"
field "$tools" Depends | grep -q '^libchronels1 (= 1.0.0), libc6 (>= ' || fail "chronels-tools Depends: $(field "$tools" Depends)"
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
list "$dev" | grep -q " usr/lib/libchronels.a " || fail "libchronels-dev lacks usr/lib/libchronels.a"
[ "$(list "$tools")" = "usr/bin/chronels-latency usr/share/man/man1/chronels-latency.1 " ] || fail "chronels-tools holds: $(list "$tools")"
for p in "$rt" "$dev" "$tools"; do dpkg-deb -x "$p" "$work/root"; done
readelf -d "$work/root/usr/lib/libchronels.so.1.0.0" | grep -q 'soname: \[libchronels.so.1\]' || fail "SONAME in package"
needed=$(readelf -d "$work/root/usr/lib/libchronels.so.1.0.0" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "packaged library needs '$needed', want only libc.so.6"
step "contents, SONAME, dependencies and shlibs ok"
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  PREFIX=$work/root/usr bash "$src/cmake/consumer-test.sh" | sed 's/^/package-test: /'
else
  # For the target, built with its cross compiler against the unpacked tree
  # (shared and static) and run under its emulator, as is the packaged tool.
  [ "$arch" = powerpc ] || fail "no cross compiler known for $arch"
  run=(qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH="$work/root/usr/lib")
  r=$work/root/usr
  # The package's own flags: the target's 64-bit time among them.
  cflags=$(PKG_CONFIG_PATH=$r/lib/pkgconfig pkg-config --cflags chronels)
  case "$cflags" in *-D_TIME_BITS=64*) ;; *) fail "chronels.pc does not hand on 64-bit time: '$cflags'" ;; esac
  powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" $cflags -L"$r/lib" -lchronels -o "$work/c_shared"
  powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" $cflags "$r/lib/libchronels.a" -pthread -lrt -o "$work/c_static"
  file "$work/c_shared" | grep -q 'MSB.*PowerPC' || fail "consumer is not big-endian PowerPC: $(file "$work/c_shared")"
  for c in c_shared c_static; do
    out=$(timeout 120 "${run[@]}" "$work/$c") || fail "$c under qemu-ppc exited $?"
    echo "$out" | grep -q 'one callback' || fail "$c said '$out'"
    step "consumer-test: powerpc $c under qemu-ppc: $out"
  done
  out=$(timeout 120 "${run[@]}" "$r/bin/chronels-latency" -t 2 -l 20 -q) || fail "chronels-latency under qemu-ppc exited $?"
  [ "$(echo "$out" | grep -c 'C:     20 ')" = 2 ] || fail "chronels-latency under qemu-ppc said '$out'"
  step "chronels-latency under qemu-ppc: $(echo "$out" | head -1)"
fi
step "ok"

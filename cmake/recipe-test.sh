#!/bin/bash
# SPDX-License-Identifier: MIT
# The way a Yocto or Buildroot recipe (contrib/) builds the library, and a
# recipe that depends on it then uses it:
#   - a fresh configure relying on a compiler and CMake alone: no tests, and
#     GoogleTest not even looked for; cross for PowerPC, prefix /usr, with
#     the configure options the recipes pass (RECIPE_OPTS below);
#   - installed with DESTDIR into a staging sysroot;
#   - the C consumer built with the cross compiler against that sysroot,
#     its flags from pkg-config with PKG_CONFIG_SYSROOT_DIR and
#     PKG_CONFIG_LIBDIR, as the build systems set them; the flags must carry
#     the sysroot exactly once (pkgconf and pkg-config have each, in some
#     version, dropped or doubled it), so they are compared in full;
#   - run under qemu-ppc with the staged library.
#   cmake/recipe-test.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "recipe-test: FAIL: $*" >&2; exit 1; }
step() { echo "recipe-test: $*"; }

# The recipes carry the version of project(): Yocto in the recipe's file
# name, Buildroot in LIBCHRONELS_VERSION.
version=$(sed -n 's/^project(chronels VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project(chronels VERSION ...) in CMakeLists.txt"
[ -f "$src/contrib/yocto/libchronels_$version.bb" ] || fail "no contrib/yocto/libchronels_$version.bb: $(ls "$src/contrib/yocto")"
grep -qx "LIBCHRONELS_VERSION = $version" "$src/contrib/buildroot/libchronels/libchronels.mk" ||
  fail "contrib/buildroot/libchronels/libchronels.mk: $(grep '^LIBCHRONELS_VERSION' "$src/contrib/buildroot/libchronels/libchronels.mk"), not $version"

# Exactly what contrib/yocto/libchronels_VERSION.bb (its default PACKAGECONFIG)
# and contrib/buildroot/libchronels/libchronels.mk pass.
RECIPE_OPTS=(-DBUILD_TESTING=OFF -DCHRONELS_TOOLS=ON -DCHRONELS_EXAMPLES=OFF)
for recipe in "$src/contrib/yocto/libchronels_$version.bb" "$src/contrib/buildroot/libchronels/libchronels.mk"; do
  for opt in "${RECIPE_OPTS[@]}"; do
    grep -q -- "$opt" "$recipe" || fail "${recipe#"$src"/} does not pass $opt"
  done
done

build=$work/build sysroot=$work/sysroot
cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-powerpc.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  "${RECIPE_OPTS[@]}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
# The configure fails if anything REQUIRES GoogleTest (it may not be found);
# nothing may have looked for it or built it either.
! grep -q 'Found GTest' "$work/configure.log" || fail "the configure found GoogleTest"
! grep -q '^GTest_DIR:' "$build/CMakeCache.txt" && [ ! -d "$build/_deps" ] || fail "the configure looked for GoogleTest"
! grep -q -- -Werror "$build/CMakeFiles/chronels.dir/flags.make" || fail "a recipe build turns warnings into errors"
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
DESTDIR=$sysroot cmake --install "$build" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install"; }
echo "ci-check: recipe configure and build without GoogleTest, cross for PowerPC, staged with DESTDIR"

pc=$(find "$sysroot" -name chronels.pc)
[ -n "$pc" ] || fail "no chronels.pc under the staging sysroot"
libdir=$(dirname "$(dirname "$pc")") # $sysroot/usr/lib or a multiarch directory under it
for f in "$libdir/libchronels.so.$version" "$libdir/libchronels.so.1" "$libdir/libchronels.so" "$libdir/libchronels.a" \
         "$sysroot/usr/include/chronels.h" "$sysroot/usr/bin/chronels-latency"; do
  [ -e "$f" ] || fail "not staged: ${f#"$sysroot"}"
done
step "staged: $(cd "$sysroot" && find . -type f -o -type l | grep -v '/man/' | sort | tr '\n' ' ')"
grep -qx 'prefix=/usr' "$pc" || fail "chronels.pc: $(grep '^prefix=' "$pc")"

# Only the staged tree is searched, as in a recipe's sysroot.
unset PKG_CONFIG_PATH
export PKG_CONFIG_SYSROOT_DIR=$sysroot PKG_CONFIG_LIBDIR=$libdir/pkgconfig
cflags=$(pkg-config --cflags chronels)
libs=$(pkg-config --libs chronels)
step "pkg-config $(pkg-config --version) --cflags: $cflags"
step "pkg-config --libs: $libs"
[ "$(echo $cflags)" = "-I$sysroot/usr/include -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64" ] ||
  fail "--cflags is not the staged include directory and 64-bit time: '$cflags'"
[ "$(echo $libs)" = "-L$libdir -lchronels" ] || fail "--libs is not the staged library directory: '$libs'"
echo "ci-check: pkg-config flags carry the staging sysroot once: $(echo $cflags $libs)"

powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" $cflags $libs -o "$work/consumer"
kind=$(file "$work/consumer")
grep -q 'MSB.*PowerPC' <<<"$kind" || fail "consumer is not big-endian PowerPC: $kind"
out=$(timeout 120 qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH="$libdir" "$work/consumer") ||
  fail "consumer under qemu-ppc exited $?"
grep -q 'one callback' <<<"$out" || fail "consumer under qemu-ppc said '$out'"
step "qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH=$libdir consumer: $out"
echo "ci-check: recipe-staged consumer ran under qemu-ppc"

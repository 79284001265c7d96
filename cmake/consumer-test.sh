#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs a build to a fresh prefix and builds the programs of
# tests/consumer against the installed tree, via pkg-config and via
# find_package(chronels), in C and in C++, and runs them.
#   cmake/consumer-test.sh [BUILD_DIR]    (default build/default; built if absent)
# With PREFIX=DIR set, uses an already populated tree there instead of
# installing (the package test points it at an unpacked .deb): a tree built
# for /usr and unpacked to ROOT/usr is used as ROOT/usr under the sysroot ROOT.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build/default}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "consumer-test: FAIL: $*" >&2; exit 1; }
step() { echo "consumer-test: $*"; }

if [ -z "${PREFIX:-}" ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset default -S "$src" >/dev/null && cmake --build "$build" -j2 >/dev/null
  fi
  prefix=$work/prefix
  # chronels.pc names the prefix the build was configured with: configure it
  # with this one to install, and back to its own after.
  configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
  trap 'cmake -DCMAKE_INSTALL_PREFIX="$configured" "$build" >/dev/null; rm -rf "$work"' EXIT
  cmake -DCMAKE_INSTALL_PREFIX="$prefix" "$build" >/dev/null
  cmake --install "$build" >/dev/null
  cmake -DCMAKE_INSTALL_PREFIX="$configured" "$build" >/dev/null
  trap 'rm -rf "$work"' EXIT
else
  prefix=$PREFIX
fi
libdir=$(dirname "$(find "$prefix" -name chronels.pc -path '*/pkgconfig/*' | head -1)")
libdir=${libdir%/pkgconfig}
[ -d "$libdir" ] || fail "no chronels.pc under $prefix"
pc_prefix=$(sed -n 's/^prefix=//p' "$libdir/pkgconfig/chronels.pc")
if [ "$pc_prefix" != "$prefix" ]; then
  [ "${prefix%"$pc_prefix"}" != "$prefix" ] || fail "chronels.pc has prefix=$pc_prefix, the tree is at $prefix"
  export PKG_CONFIG_SYSROOT_DIR=${prefix%"$pc_prefix"}
  step "chronels.pc has prefix=$pc_prefix: under the sysroot $PKG_CONFIG_SYSROOT_DIR"
fi

step "installed tree under $prefix"
for f in "$libdir/libchronels.so.1.0.0" "$libdir/libchronels.so.1" "$libdir/libchronels.so" \
         "$prefix/include/chronels.h" "$libdir/pkgconfig/chronels.pc" \
         "$libdir/cmake/chronels/chronelsConfig.cmake" "$libdir/cmake/chronels/chronelsConfigVersion.cmake" \
         "$libdir/cmake/chronels/chronelsTargets.cmake" "$prefix/share/man/man3/chronel_init.3" \
         "$libdir/libchronels.a" "$prefix/bin/chronels-latency" "$prefix/share/man/man1/chronels-latency.1"; do
  [ -e "$f" ] || fail "missing $f"
done
[ "$(readlink "$libdir/libchronels.so.1")" = libchronels.so.1.0.0 ] || fail "libchronels.so.1 does not point at libchronels.so.1.0.0"
[ "$(readlink "$libdir/libchronels.so")" = libchronels.so.1 ] || fail "libchronels.so does not point at libchronels.so.1"
so=$libdir/libchronels.so.1.0.0
readelf -d "$so" | grep -q 'Library soname: \[libchronels.so.1\]' || fail "SONAME is not libchronels.so.1"
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "NEEDED is '$needed', want only libc.so.6"
# Hidden visibility and the version script: the exported functions are
# exactly the header's, each at the version node CHRONELS_1.0.
exported=$(nm -D --defined-only "$so" | awk '$2 == "T" {print $3}' | sed -n 's/@@CHRONELS_1\.0$//p' | sort | tr '\n' ' ')
declared=$(sed -n 's/^\(int\|void\) \(chronel_[a-z_]*\)(.*/\2/p' "$prefix/include/chronels.h" | sort | tr '\n' ' ')
[ "$exported" = "$declared" ] || fail "exports at CHRONELS_1.0 '$exported', header declares '$declared'"
pages=$(ls "$prefix/share/man/man3" | grep -c '^chronel_.*\.3$' || true)
[ "$pages" -eq "$(echo "$declared" | wc -w)" ] || fail "$pages manual pages for $(echo "$declared" | wc -w) functions"
# A link page, looked up by name as a reader would: it must show its group's page.
page=$(MANWIDTH=80 man -M "$prefix/share/man" 3 chronel_settime 2>&1)
echo "$page" | grep -q '^CHRONEL_CREATE(3)' || fail "man chronel_settime: $(echo "$page" | head -3)"
! echo "$page" | grep -qi 'warning' || fail "man chronel_settime warns: $(echo "$page" | grep -i warning)"

run() { # name, program: must succeed and say it saw its callback
  out=$(timeout 60 "$2") || fail "$1 exited $?"
  echo "$out" | grep -q 'one callback' || fail "$1 said '$out'"
  step "$1: $out"
}

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion chronels)" = 1.0.0 ] || fail "pkg-config --modversion chronels"
flags=$(pkg-config --cflags --libs chronels)
[ "$(echo $flags)" = "-I$prefix/include -L$libdir -lchronels" ] || fail "pkg-config --cflags --libs chronels: '$flags'"
cc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_pc" $(pkg-config --cflags --libs chronels)
c++ -std=c++17 -Wall -Wextra -Werror -x c++ "$src/tests/consumer/consumer.c" -x none -o "$work/cpp_pc" $(pkg-config --cflags --libs chronels)
LD_LIBRARY_PATH=$libdir run "pkg-config, C" "$work/c_pc"
LD_LIBRARY_PATH=$libdir run "pkg-config, C++" "$work/cpp_pc"

cmake -S "$src/tests/consumer" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm" >/dev/null
run "find_package, C" "$work/cm/consumer_c"
run "find_package, C++" "$work/cm/consumer_cpp"
run "find_package, C, static" "$work/cm/consumer_c_static"

# The archive: only the header's functions are global (the rest was made
# local), and a program linked with it needs only the C library's parts.
globals=$(nm -g --defined-only "$libdir/libchronels.a" | awk 'NF == 3 {print $3}' | sort | tr '\n' ' ')
[ "$globals" = "$declared" ] || fail "libchronels.a defines '$globals', header declares '$declared'"
cc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_static" \
  $(pkg-config --cflags chronels) $(pkg-config --static --libs chronels | sed 's/-lchronels\b/-l:libchronels.a/')
! readelf -d "$work/c_static" | grep -q 'NEEDED.*libchronels' || fail "the static consumer needs libchronels.so"
run "pkg-config --static, C" "$work/c_static"

# The tool: runs against the installed library, and its page renders clean.
out=$(LD_LIBRARY_PATH=$libdir timeout 60 "$prefix/bin/chronels-latency" -t 2 -l 20 -q) || fail "chronels-latency exited $?"
[ "$(echo "$out" | grep -c '^T: [01] .* C:     20 ')" = 2 ] || fail "chronels-latency said '$out'"
page=$(MANWIDTH=80 man -M "$prefix/share/man" 1 chronels-latency 2>&1)
echo "$page" | grep -q '^CHRONELS-LATENCY(1)' && ! echo "$page" | grep -qi warning || fail "man chronels-latency: $(echo "$page" | head -3)"
step "chronels-latency: $(echo "$out" | head -1)"
step "ok"

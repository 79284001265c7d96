#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs a build, as it was configured, to fresh prefixes given at install
# time, and builds the programs of tests/consumer against the installed tree
# via pkg-config (shared, and static with the README's link line) and via
# find_package(chronels), in C and in C++, and runs them; then against the
# build tree itself (chronels_DIR), and with the source tree taken into a
# parent project by add_subdirectory and by FetchContent, which must bring
# the library alone: no test, demo or tool target and no install rule.
#   cmake/consumer-test.sh [BUILD_DIR]    (default build/default; built if absent)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$src/build/default}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "consumer-test: FAIL: $*" >&2; exit 1; }
step() { echo "consumer-test: $*"; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default -S "$src" >/dev/null && cmake --build "$build" -j2 >/dev/null
fi
# The prefix is chosen at install time only: the build is not reconfigured.
cache=$(md5sum <"$build/CMakeCache.txt")
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install --prefix $prefix"; }
[ "$(md5sum <"$build/CMakeCache.txt")" = "$cache" ] || fail "cmake --install changed $build/CMakeCache.txt"
pc=$(find "$prefix" -name chronels.pc -path '*/pkgconfig/*')
[ -n "$pc" ] || fail "no chronels.pc under $prefix"
libdir=$(dirname "$(dirname "$pc")")
grep -qxF "prefix=$prefix" "$pc" || fail "chronels.pc has $(grep '^prefix=' "$pc"), installed to $prefix"
# A second prefix, for the development files alone: the file follows each.
cmake --install "$build" --prefix "$work/again" --component dev >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install --prefix $work/again --component dev"; }
grep -qxF "prefix=$work/again" "$work/again/${pc#"$prefix"/}" || fail "a second install's chronels.pc: $(grep '^prefix=' "$work/again/${pc#"$prefix"/}")"
echo "ci-check: chronels.pc names the prefix given to cmake --install, without reconfiguring"

# The version, set once in project(): the library's file name and the
# pkg-config file must both carry it.
version=$(sed -n 's/^project(chronels VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project(chronels VERSION ...) in CMakeLists.txt"
step "installed tree under $prefix"
for f in "$libdir/libchronels.so.$version" "$libdir/libchronels.so.1" "$libdir/libchronels.so" \
         "$prefix/include/chronels.h" "$libdir/pkgconfig/chronels.pc" \
         "$libdir/cmake/chronels/chronelsConfig.cmake" "$libdir/cmake/chronels/chronelsConfigVersion.cmake" \
         "$libdir/cmake/chronels/chronelsTargets.cmake" "$prefix/share/man/man3/chronel_init.3" \
         "$libdir/libchronels.a" "$prefix/bin/chronels-latency" "$prefix/share/man/man1/chronels-latency.1"; do
  [ -e "$f" ] || fail "missing $f"
done
[ "$(readlink "$libdir/libchronels.so.1")" = "libchronels.so.$version" ] || fail "libchronels.so.1 does not point at libchronels.so.$version"
[ "$(readlink "$libdir/libchronels.so")" = libchronels.so.1 ] || fail "libchronels.so does not point at libchronels.so.1"
so=$libdir/libchronels.so.$version
readelf -d "$so" | grep -q 'Library soname: \[libchronels.so.1\]' || fail "SONAME is not libchronels.so.1"
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "NEEDED is '$needed', want only libc.so.6"
# Hidden visibility and the version script: the exported functions are
# exactly the header's, each at a version node of this major (CHRONELS_1.0, ...).
exported=$(nm -D --defined-only "$so" | awk '$2 == "T" {print $3}' | sed -n 's/@@CHRONELS_1\.[0-9]*$//p' | sort | tr '\n' ' ')
declared=$(sed -n 's/^\(int\|void\) \(chronel_[a-z_]*\)(.*/\2/p' "$prefix/include/chronels.h" | sort | tr '\n' ' ')
[ "$exported" = "$declared" ] || fail "exports at CHRONELS_1.x '$exported', header declares '$declared'"
# The installed header is the build's copy, its version macros filled in from project().
macros=$(sed -n 's/^#define CHRONELS_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$prefix/include/chronels.h" | paste -sd.)
[ "$macros" = "$version" ] || fail "the installed header says version '$macros', the project $version"
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
[ "$(pkg-config --modversion chronels)" = "$version" ] || fail "pkg-config --modversion chronels: $(pkg-config --modversion chronels), not $version"
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
# The README's static link line, as the README shows it, for app.c.
line=$(sed -n 's/.*`\(cc app\.c .*libchronels\.a.*\)`.*/\1/p' "$src/README.md" | head -1)
[ -n "$line" ] || fail "no static link line (cc app.c ... libchronels.a) in README.md"
cp "$src/tests/consumer/consumer.c" "$work/app.c"
(cd "$work" && eval "$line -Wall -Wextra -Werror -o c_static") || fail "the README's static link line: $line"
! readelf -d "$work/c_static" | grep -q 'NEEDED.*libchronels' || fail "the static consumer needs libchronels.so"
run "pkg-config, README's static link line, C" "$work/c_static"

# The tool: runs against the installed library, and its page renders clean.
out=$(LD_LIBRARY_PATH=$libdir timeout 60 "$prefix/bin/chronels-latency" -t 2 -l 20 -q) || fail "chronels-latency exited $?"
[ "$(echo "$out" | grep -c '^T: [01] .* C:     20 ')" = 2 ] || fail "chronels-latency said '$out'"
page=$(MANWIDTH=80 man -M "$prefix/share/man" 1 chronels-latency 2>&1)
echo "$page" | grep -q '^CHRONELS-LATENCY(1)' && ! echo "$page" | grep -qi warning || fail "man chronels-latency: $(echo "$page" | head -3)"
step "chronels-latency: $(echo "$out" | head -1)"

# The build tree as a package: the library there, uninstalled.
cmake -S "$src/tests/consumer" -B "$work/tree" -Dchronels_DIR="$build" >"$work/tree.log" 2>&1 &&
  cmake --build "$work/tree" -j2 >>"$work/tree.log" 2>&1 || { cat "$work/tree.log"; fail "find_package with chronels_DIR=$build"; }
found=$(sed -n 's/^chronels_DIR:[A-Z]*=//p' "$work/tree/CMakeCache.txt")
[ "$found" = "$build" ] || fail "find_package took chronels_DIR=$found, not $build"
readelf -d "$work/tree/consumer_c" | grep -q "R.*PATH.*$build" || fail "consumer_c does not run with the build tree's library"
run "find_package from the build tree, C" "$work/tree/consumer_c"
run "find_package from the build tree, C++" "$work/tree/consumer_cpp"
run "find_package from the build tree, C, static" "$work/tree/consumer_c_static"

# A parent project with the source tree inside: the same target names, and
# nothing but the library comes along (the parent has no install rule and
# no test of its own, so anything of either kind would be ours).
for via in add_subdirectory FetchContent; do
  b=$work/$via
  cmake -S "$src/tests/consumer" -B "$b" -DCHRONELS_VIA=$via -DCHRONELS_SOURCE_DIR="$src" >"$b.log" 2>&1 &&
    cmake --build "$b" -j2 >>"$b.log" 2>&1 || { cat "$b.log"; fail "$via: configure or build of the parent"; }
  run "$via, C" "$b/consumer_c"
  run "$via, C++" "$b/consumer_cpp"
  run "$via, C, static" "$b/consumer_c_static"
  for target in test_chronels demo chronels-latency; do
    ! cmake --build "$b" --target $target >/dev/null 2>&1 || fail "$via: the parent builds our $target"
  done
  tests=$(find "$b" -name CTestTestfile.cmake)
  [ -z "$tests" ] || fail "$via: tests came along: $tests"
  ! grep -q '^GTest_DIR:\|^BUILD_TESTING:' "$b/CMakeCache.txt" || fail "$via: CTest or GoogleTest was looked for"
  cmake --install "$b" --prefix "$work/$via-prefix" >"$b-install.log" 2>&1 || { cat "$b-install.log"; fail "$via: cmake --install"; }
  [ -z "$(find "$work/$via-prefix" -mindepth 1 2>/dev/null)" ] || fail "$via: installed $(find "$work/$via-prefix" -type f | tr '\n' ' ')"
  echo "ci-check: $via: the library alone, as chronels::chronels, no test, demo or tool target, nothing installed"
done
step "ok"

#!/bin/bash
# SPDX-License-Identifier: MIT
# The library built unchanged against musl, as CMake builds it against
# glibc, and a C program built with musl-gcc that calls every function run
# against it natively:
#   - src/chronels_ru.cpp compiled by g++ with musl's headers and g++'s own
#     header-only C++ parts (no C++ runtime exists for musl here), with the
#     library's flags from CMakeLists.txt; every header it read must be one
#     of those, none of glibc's;
#   - linked with musl-gcc -shared and the version script: it must need
#     musl's libc.so alone (no libstdc++, no libgcc_s, nothing of glibc's)
#     and export exactly the functions of src/chronels.map;
#   - tests/consumer/musl_all.c built with musl-gcc, its whole set of
#     libraries resolved by musl's loader, then run: it exits 0 only when
#     every call did what it should.
#   cmake/musl-test.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "musl-test: FAIL: $*" >&2; exit 1; }
step() { echo "musl-test: $*"; }

bash "$src/cmake/deps.sh" musl-tools
arch=$(gcc -dumpmachine | cut -d- -f1)
musl_inc=/usr/include/$arch-linux-musl
gcc_ver=$(g++ -dumpversion)
cxx_inc=(/usr/include/c++/$gcc_ver "/usr/include/$(g++ -print-multiarch)/c++/$gcc_ver")
gcc_inc=$(g++ -print-file-name=include)
for d in "$musl_inc" "${cxx_inc[@]}" "$gcc_inc"; do [ -d "$d" ] || fail "no $d"; done

# -nostdinc leaves out glibc's headers; libstdc++'s configuration asks
# __GLIBC_PREREQ, which musl does not define. The rest is the library's
# target in CMakeLists.txt: its build type, warnings, visibility and the
# file name in messages.
step "compiling src/chronels_ru.cpp against $musl_inc"
g++ -std=c++17 -nostdinc '-D__GLIBC_PREREQ(a,b)=0' \
  -isystem "${cxx_inc[0]}" -isystem "${cxx_inc[1]}" -isystem "$musl_inc" -isystem "$gcc_inc" \
  -I "$src/include" -O2 -g -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden \
  -Wall -Wextra -Werror -Wconversion -Wsign-conversion -fno-exceptions -fno-rtti \
  "-fmacro-prefix-map=$src/=" -MD -MF "$work/chronels.d" \
  -c "$src/src/chronels_ru.cpp" -o "$work/chronels.o"
foreign=$(sed -e '1s/^[^:]*://' -e 's/\\$//' "$work/chronels.d" | tr ' ' '\n' | grep '^/' | grep -v \
  -e "^$musl_inc/" -e "^${cxx_inc[0]}/" -e "^${cxx_inc[1]}/" -e "^$gcc_inc/" -e "^$src/" || true)
[ -z "$foreign" ] || fail "headers from outside musl's and g++'s: $foreign"
echo "ci-check: musl: the library compiles with musl's headers only"

# libpthread and librt are empty archives under musl: named only to match
# the CMake link line.
musl-gcc -shared -Wl,-soname,libchronels.so.1 -Wl,--as-needed -Wl,--no-undefined \
  "-Wl,--version-script=$src/src/chronels.map" "$work/chronels.o" -o "$work/libchronels.so.1" -lpthread -lrt
ln -s libchronels.so.1 "$work/libchronels.so"
so=$work/libchronels.so.1
readelf -d "$so" | grep -q 'Library soname: \[libchronels.so.1\]' || fail "SONAME is not libchronels.so.1"
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so " ] || fail "NEEDED is '$needed', want only musl's libc.so"
! readelf -V "$so" | grep -q 'GLIBC\|GCC_\|CXXABI' || fail "versioned references to glibc, libgcc or libstdc++: $(readelf -V "$so" | grep 'GLIBC\|GCC_\|CXXABI')"
step "libchronels.so.1 needs: $needed"
exported=$(nm -D --defined-only "$so" | awk '$2 == "T" {print $3}' | sed 's/@@CHRONELS_[0-9.]*$//' | sort | tr '\n' ' ')
listed=$(sed -n 's/^ *\(chronel_[a-z_]*\);$/\1/p' "$src/src/chronels.map" | sort | tr '\n' ' ')
[ "$exported" = "$listed" ] || fail "exports '$exported', chronels.map lists '$listed'"
echo "ci-check: musl: libchronels.so.1 needs only musl's libc.so and exports chronels.map's functions"

musl-gcc -std=c11 -Wall -Wextra -Werror -I "$src/include" "$src/tests/consumer/musl_all.c" \
  -o "$work/musl_all" -L "$work" -lchronels
loader=$(readelf -l "$work/musl_all" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
[ "$loader" = "/lib/ld-musl-$arch.so.1" ] || fail "musl_all's interpreter is '$loader'"
export LD_LIBRARY_PATH=$work
# Called by that name, musl's loader lists what it would load.
libs=$("$loader" --list "$work/musl_all" | awk '{print $1, $3}')
echo "$libs" | sed 's/^/musl-test:   /'
! echo "$libs" | grep -q 'libstdc++\|libgcc_s\|libc\.so\.6\|ld-linux' || fail "glibc's or g++'s libraries in the run"
[ "$(echo "$libs" | grep -c '^libchronels.so.1 '"$work"'/libchronels.so.1$')" = 1 ] || fail "libchronels.so.1 not taken from the musl build"

status=0
timeout 60 "$work/musl_all" || status=$?
[ "$status" = 0 ] || fail "musl_all exited $status"
echo "ci-check: musl: every function called and checked from a musl program"
step "ok"

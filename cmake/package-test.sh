#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages of debian/ with dpkg-buildpackage and checks
# them: the build machine's architecture with the test suite run inside the
# package build, and powerpc cross-built without it (nocheck). For each:
# lintian with no error and no warning, names, architecture, multiarch
# paths, SONAME and symbol versions, the symbols and shlibs control files,
# the dbgsym packages, hardening. The source package is built and checked
# by lintian too. Then the build machine's packages are installed with
# apt-get, and the README's example, the consumer programs and
# chronels-latency are built and run against the installed system (the
# packages are removed again at the end); the powerpc packages are
# unpacked, and the same programs are built with the cross compiler against
# the unpacked tree and run under qemu-ppc.
#   cmake/package-test.sh [ARCH...]    (default: the build machine's and powerpc)
# Needs root (apt-get install). The packages, the lintian reports and the
# build logs are kept in build/deb/.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$src/build/deb
host=$(dpkg --print-architecture)
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=("$host" powerpc)
work=$(mktemp -d)
installed=""
cleanup() {
  [ -z "$installed" ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $installed >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "package-test: $*"; }
field() { dpkg-deb -f "$1" "$2"; }
files() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort; }
readelf_needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '; }
# has PATTERN TEXT: grep on text already read, so that no grep -q ends a
# pipeline early (pipefail would count the writer's SIGPIPE).
has() { grep -q -- "$1" <<<"$2"; }

version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
# The library's own version, set once in project(): the Debian version's
# upstream part must be the same, and names the files and the .pc version.
upstream=$(sed -n 's/^project(chronels VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "${version%-*}" = "$upstream" ] || fail "debian/changelog is at $version, CMakeLists.txt's project() at $upstream"
rm -rf "$out" && mkdir -p "$out"

# dpkg-buildpackage writes next to the source tree, so it builds a copy in
# a folder of its own: the files git knows, as they are in the work tree
# (uncommitted changes and new files included), or the tree less build/.
tree=$work/libchronels-$version
mkdir -p "$tree"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp -a --parents -t "$tree")
else
  tar -C "$src" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$tree" -xf -
fi

lint() { # what, files...: no error and no warning; info tags are shown too
  local what=$1 status=0
  shift
  lintian --display-info --fail-on error,warning "$@" >"$out/lintian-$what.txt" 2>&1 || status=$?
  grep -v '^running with root privileges' "$out/lintian-$what.txt" | sed "s/^/package-test: lintian $what: /" || true
  [ "$status" = 0 ] || fail "lintian $what exited $status"
  echo "ci-check: lintian $what: no errors, no warnings"
}

(cd "$work" && dpkg-source -b "$tree" >"$out/source.log" 2>&1) || { cat "$out/source.log"; fail "dpkg-source -b"; }
lint source "$work/libchronels_$version.dsc"

for arch in "${archs[@]}"; do
  # Tests run in the build machine's build; a cross build cannot run what it
  # builds (nocheck), and Debian 12 has no powerpc packages to satisfy its
  # build-dependencies with (-d): the cross compiler and the target's C
  # library come from the build machine's cross toolchain packages.
  if [ "$arch" = "$host" ]; then
    opts=()
  else
    opts=(-a "$arch" -Pnocheck -d)
  fi
  log=$out/build-$arch.log
  start=$SECONDS
  (cd "$tree" && dpkg-buildpackage "${opts[@]}" -us -uc -b -J2 >"$log" 2>&1) ||
    { tail -n 60 "$log"; fail "dpkg-buildpackage ${opts[*]} (log: $log)"; }
  step "$arch: dpkg-buildpackage ${opts[*]:+${opts[*]} }-us -uc -b -J2: $((SECONDS - start)) s"
  # The suite's own closing line, as ctest printed it in the package build.
  if ! grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" && [ "$arch" = "$host" ]; then
    [[ " ${DEB_BUILD_OPTIONS:-} " = *" nocheck "* ]] || fail "$arch: the package build ran no tests"
    step "$arch: no tests (nocheck in DEB_BUILD_OPTIONS)"
  fi

  ma=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  rt=$work/libchronels1_${version}_$arch.deb
  dev=$work/libchronels-dev_${version}_$arch.deb
  tools=$work/chronels-tools_${version}_$arch.deb
  rtdbg=$work/libchronels1-dbgsym_${version}_$arch.deb
  toolsdbg=$work/chronels-tools-dbgsym_${version}_$arch.deb
  for p in "$rt" "$dev" "$tools" "$rtdbg" "$toolsdbg"; do
    [ -f "$p" ] || fail "$arch: no $(basename "$p"), only: $(cd "$work" && ls ./*.deb)"
    [ "$(field "$p" Architecture)" = "$arch" ] || fail "$p: Architecture $(field "$p" Architecture)"
    [ "$(field "$p" Version)" = "$version" ] || fail "$p: Version $(field "$p" Version)"
  done
  [ "$(field "$rt" Section)/$(field "$dev" Section)/$(field "$tools" Section)" = libs/libdevel/utils ] ||
    fail "$arch: sections $(field "$rt" Section)/$(field "$dev" Section)/$(field "$tools" Section)"
  [ "$(field "$rt" Multi-Arch)/$(field "$dev" Multi-Arch)/$(field "$tools" Multi-Arch)" = same/same/foreign ] ||
    fail "$arch: Multi-Arch $(field "$rt" Multi-Arch)/$(field "$dev" Multi-Arch)/$(field "$tools" Multi-Arch)"

  # Dependencies: on the C library from the ELF files (dpkg-shlibdeps, with
  # no cross package's name left in them), the development files on exactly
  # this build of the library, the tool on the library through its symbols.
  step "$arch: libchronels1 Depends: $(field "$rt" Depends)"
  step "$arch: chronels-tools Depends: $(field "$tools" Depends)"
  [[ "$(field "$rt" Depends)" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "$arch: libchronels1 Depends: $(field "$rt" Depends)"
  [ "$(field "$dev" Depends)" = "libchronels1 (= $version)" ] || fail "$arch: libchronels-dev Depends: $(field "$dev" Depends)"
  depends=$(field "$tools" Depends)
  has '\(^\|, \)libchronels1 (>= 1\.0\.0)\(,\|$\)' "$depends" && ! has '-cross\|:' "$depends" ||
    fail "$arch: chronels-tools Depends: $depends"

  # Control files: the symbols file exactly as in debian/, the shlibs
  # fallback, the ldconfig trigger.
  diff <(dpkg-deb -I "$rt" symbols) "$src/debian/libchronels1.symbols" || fail "$arch: the symbols control file differs"
  [ "$(dpkg-deb -I "$rt" shlibs)" = "libchronels 1 libchronels1 (>= $upstream)" ] || fail "$arch: shlibs: $(dpkg-deb -I "$rt" shlibs)"
  [ "$(dpkg-deb -I "$rt" triggers | grep -v '^#')" = "activate-noawait ldconfig" ] || fail "$arch: no ldconfig trigger"

  # Contents, in the multiarch directory of the architecture.
  want_rt="usr/lib/$ma/libchronels.so.1 usr/lib/$ma/libchronels.so.$upstream usr/share/doc/libchronels1/changelog.gz usr/share/doc/libchronels1/copyright"
  [ "$(files "$rt" | tr '\n' ' ')" = "$want_rt " ] || fail "$arch: libchronels1 holds: $(files "$rt" | tr '\n' ' ')"
  devfiles=$(files "$dev")
  for f in usr/include/chronels.h usr/lib/$ma/libchronels.so usr/lib/$ma/libchronels.a usr/lib/$ma/pkgconfig/chronels.pc \
           usr/lib/$ma/cmake/chronels/chronelsConfig.cmake usr/lib/$ma/cmake/chronels/chronelsConfigVersion.cmake \
           usr/lib/$ma/cmake/chronels/chronelsTargets.cmake usr/share/man/man3/chronel_init.3.gz \
           usr/share/man/man3/chronel_settime.3.gz usr/share/man/man7/chronels.7.gz usr/share/doc/libchronels-dev/copyright; do
    grep -qx -- "$f" <<<"$devfiles" || fail "$arch: libchronels-dev lacks $f"
  done
  stray=$(grep -v "^usr/include/\|^usr/lib/$ma/\|^usr/share/man/man[37]/\|^usr/share/doc/libchronels-dev/" <<<"$devfiles" || true)
  [ -z "$stray" ] || fail "$arch: libchronels-dev holds outside its places: $stray"
  want_tools="usr/bin/chronels-latency usr/share/doc/chronels-tools/changelog.gz usr/share/doc/chronels-tools/copyright usr/share/man/man1/chronels-latency.1.gz"
  [ "$(files "$tools" | tr '\n' ' ')" = "$want_tools " ] || fail "$arch: chronels-tools holds: $(files "$tools" | tr '\n' ' ')"

  root=$work/root-$arch
  for p in "$rt" "$dev" "$tools"; do dpkg-deb -x "$p" "$root"; done
  so=$root/usr/lib/$ma/libchronels.so.$upstream
  tool=$root/usr/bin/chronels-latency
  has 'Library soname: \[libchronels\.so\.1\]' "$(readelf -d "$so")" || fail "$arch: SONAME"
  [ "$(readelf_needed "$so")" = "libc.so.6 " ] || fail "$arch: the library needs '$(readelf_needed "$so")', want only libc.so.6"
  exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
  want=$(awk '$1 !~ /^(libchronels|\*)/ {sub(/@/, "@@", $1); print $1}' "$src/debian/libchronels1.symbols" |
    sed 's/^\(CHRONELS_[0-9.]*\)@@\1$/\1/' | sort | tr '\n' ' ')
  [ "$exported" = "$want" ] || fail "$arch: exports '$exported', want '$want'"
  # The messages name their place as the project's other builds do.
  has '^\[src/chronels_ru\.cpp:[0-9]*\] ' "$(strings "$so")" || fail "$arch: messages do not start with [src/chronels_ru.cpp:LINE]"

  # The debug information went into the dbgsym packages, by build ID, and
  # only there.
  for pair in "$so:$rtdbg" "$tool:$toolsdbg"; do
    elf=${pair%%:*} dbg=${pair#*:}
    id=$(readelf -n "$elf" | sed -n 's/.*Build ID: \([0-9a-f]*\)/\1/p')
    [ -n "$id" ] && [ "$(field "$dbg" Build-Ids)" = "$id" ] || fail "$arch: $(basename "$dbg") Build-Ids '$(field "$dbg" Build-Ids)', $elf has '$id'"
    [ "$(files "$dbg" | grep '^usr/lib/debug/')" = "usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "$arch: $(basename "$dbg") lacks the debug file of $id"
    ! has '\.debug_info' "$(readelf -S "$elf")" || fail "$arch: $elf is not stripped"
  done

  # Hardening: dpkg-buildflags' flags on every compile and link line of the
  # build log (blhc), and their effect in the files shipped (hardening-check).
  # Debian 12's dpkg-buildflags adds no control-flow protection, so that is
  # not asked.
  blhc "$log" >"$work/blhc.txt" 2>&1 || { cat "$work/blhc.txt"; fail "$arch: blhc"; }
  hardening-check --nocfprotection "$so" "$tool" >"$work/hardening.txt" 2>/dev/null ||
    { cat "$work/hardening.txt"; fail "$arch: hardening-check"; }
  echo "ci-check: $arch: hardening flags in the build log and in the library and tool"

  lint "$arch" "$work/libchronels_${version}_$arch.changes"
  step "$arch: names, sections, Multi-Arch, dependencies, symbols, shlibs, contents in usr/lib/$ma, SONAME, exports, dbgsym ok"
  cp "$work"/*_"${version}_$arch".deb "$work/libchronels_${version}_$arch.changes" "$work/libchronels_${version}_$arch.buildinfo" "$out/"
done
cp "$work/libchronels_$version.dsc" "$work/libchronels_$version.tar.xz" "$out/"

# The README's example, as the README shows it.
awk '/^## Use/ {use = 1} use && /^```c$/ {code = 1; next} code && /^```$/ {exit} code {print}' "$src/README.md" >"$work/app.c"
grep -q 'chronel_init' "$work/app.c" || fail "no C example under the README's Use heading"
ticks() { # where, command...: runs the example; at least 5 of its 10 ticks in its second
  local where=$1 o n
  shift
  o=$(timeout 60 "$@") || fail "$where: the README's example exited $?"
  n=$(grep -c '^tick every 100 ms$' <<<"$o" || true)
  [ "$n" -ge 5 ] || fail "$where: the README's example printed $n ticks: '$o'"
  step "consumer-test: $where, the README's example: $n ticks"
}

for arch in "${archs[@]}"; do
  ma=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  if [ "$arch" = "$host" ]; then
    # Installed as a user would install them, and used with no path given.
    for p in libchronels1 libchronels-dev chronels-tools; do
      ! has 'ok installed' "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" || fail "$p is installed already: remove it first"
    done
    installed="libchronels1 libchronels-dev chronels-tools"
    (cd "$out" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "./libchronels1_${version}_$arch.deb" "./libchronels-dev_${version}_$arch.deb" "./chronels-tools_${version}_$arch.deb") \
      >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
    [ "$(pkg-config --modversion chronels)" = "$upstream" ] || fail "pkg-config --modversion chronels"
    cc -Wall -Wextra -Werror "$work/app.c" -o "$work/app" $(pkg-config --cflags --libs chronels)
    ticks "$arch installed (cc app.c \$(pkg-config --cflags --libs chronels))" "$work/app"
    c++ -Wall -Wextra -Werror -x c++ "$work/app.c" -x none -o "$work/app_cxx" $(pkg-config --cflags --libs chronels)
    ticks "$arch installed (c++ -x c++ app.c \$(pkg-config --cflags --libs chronels))" "$work/app_cxx"
    # The README's C++ example, against the installed chronels.hpp.
    awk '/^## C\+\+/ {use = 1} use && /^```cpp$/ {code = 1; next} code && /^```$/ {exit} code {print}' "$src/README.md" >"$work/app.cpp"
    grep -q 'chronels::timer' "$work/app.cpp" || fail "no C++ example under the README's C++ heading"
    c++ -std=c++17 -Wall -Wextra -Werror "$work/app.cpp" -o "$work/app_hpp" $(pkg-config --cflags --libs chronels)
    o=$(timeout 60 "$work/app_hpp" 2>&1) || fail "the README's C++ example exited $?: '$o'"
    grep -q 'ticks, next in' <<<"$o" || fail "the README's C++ example said '$o'"
    step "consumer-test: $arch installed, the README's C++ example (c++ -std=c++17 app.cpp): $(grep 'ticks, next in' <<<"$o")"
    cc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_pc" $(pkg-config --cflags --libs chronels)
    c++ -std=c++17 -Wall -Wextra -Werror -x c++ "$src/tests/consumer/consumer.c" -x none -o "$work/cpp_pc" $(pkg-config --cflags --libs chronels)
    cc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_static" $(pkg-config --cflags chronels) -l:libchronels.a -pthread -lrt
    ! has 'NEEDED.*libchronels' "$(readelf -d "$work/c_static")" || fail "the static consumer needs libchronels.so"
    cmake -S "$src/tests/consumer" -B "$work/cm" >"$work/cm.log" 2>&1 && cmake --build "$work/cm" >>"$work/cm.log" 2>&1 ||
      { cat "$work/cm.log"; fail "find_package(chronels) against the installed packages"; }
    grep -q "/usr/lib/$ma/cmake/chronels" "$work/cm/CMakeCache.txt" || fail "find_package did not take /usr/lib/$ma/cmake/chronels"
    for c in "pkg-config, C:c_pc" "pkg-config, C++:cpp_pc" "static, C:c_static" "find_package, C:cm/consumer_c" \
             "find_package, C++:cm/consumer_cpp" "find_package, C, static:cm/consumer_c_static"; do
      o=$(timeout 60 "$work/${c#*:}") || fail "${c%%:*} exited $?"
      grep -q 'one callback' <<<"$o" || fail "${c%%:*} said '$o'"
      step "consumer-test: $arch installed, ${c%%:*}: $o"
    done
    o=$(timeout 60 chronels-latency -t 2 -l 20 -q) || fail "chronels-latency exited $?"
    [ "$(grep -c '^T: [01] .* C:     20 ' <<<"$o")" = 2 ] || fail "chronels-latency said '$o'"
    step "$arch installed, chronels-latency: $(head -1 <<<"$o")"
    for page in "3 chronel_settime:CHRONEL_CREATE(3)" "1 chronels-latency:CHRONELS-LATENCY(1)"; do
      text=$(MANWIDTH=80 man ${page%%:*} 2>&1) || fail "man ${page%%:*}: $text"
      grep -q "^${page#*:}" <<<"$text" && ! grep -qi warning <<<"$text" || fail "man ${page%%:*}: $(head -3 <<<"$text")"
    done
    step "$arch installed, man 3 chronel_settime and man chronels-latency render"
  else
    # For the target: built with its cross compiler against the unpacked
    # packages (pkg-config told the tree is the root) and run under its
    # emulator, as is the packaged tool.
    [ "$arch" = powerpc ] || { step "$arch: no cross compiler and emulator known here, packages checked only"; continue; }
    root=$work/root-$arch
    run=(qemu-ppc -L /usr/powerpc-linux-gnu -E LD_LIBRARY_PATH="$root/usr/lib/$ma")
    pc() { PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/lib/$ma/pkgconfig pkg-config "$@" chronels; }
    case "$(pc --cflags)" in *-D_TIME_BITS=64*) ;; *) fail "chronels.pc does not hand on 64-bit time: '$(pc --cflags)'" ;; esac
    powerpc-linux-gnu-gcc -Wall -Wextra -Werror "$work/app.c" -o "$work/app-$arch" $(pc --cflags --libs)
    powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_shared-$arch" $(pc --cflags --libs)
    powerpc-linux-gnu-gcc -std=c11 -Wall -Wextra -Werror "$src/tests/consumer/consumer.c" -o "$work/c_static-$arch" \
      $(pc --cflags) "$root/usr/lib/$ma/libchronels.a" -pthread -lrt
    file "$work/c_shared-$arch" | grep -q 'MSB.*PowerPC' || fail "the consumer is not big-endian PowerPC: $(file "$work/c_shared-$arch")"
    ticks "$arch unpacked, under qemu-ppc" "${run[@]}" "$work/app-$arch"
    for c in c_shared c_static; do
      o=$(timeout 120 "${run[@]}" "$work/$c-$arch") || fail "$c under qemu-ppc exited $?"
      grep -q 'one callback' <<<"$o" || fail "$c under qemu-ppc said '$o'"
      step "consumer-test: $arch unpacked, $c under qemu-ppc: $o"
    done
    o=$(timeout 120 "${run[@]}" "$root/usr/bin/chronels-latency" -t 2 -l 20 -q) || fail "chronels-latency under qemu-ppc exited $?"
    [ "$(grep -c 'C:     20 ' <<<"$o")" = 2 ] || fail "chronels-latency under qemu-ppc said '$o'"
    step "$arch unpacked, chronels-latency under qemu-ppc: $(head -1 <<<"$o")"
  fi
done
step "ok"

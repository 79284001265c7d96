#!/bin/bash
# SPDX-License-Identifier: MIT
# Checks the ABI of a built libchronels.so.1 against the one recorded for its
# architecture in cmake/abi/chronels-ARCH.abi, and what it exports.
#   cmake/abi-check.sh BUILD_DIR ARCH            ARCH: x86_64 or powerpc
#   cmake/abi-check.sh --update BUILD_DIR ARCH   records BUILD_DIR's ABI as the baseline
# The build needs debug info (RelWithDebInfo, as the presets build): abidw
# describes the library, with include/ as its public headers, and abidiff
# compares that with the baseline.
#
# A change passes only if it adds functions: anything else within SONAME 1
# breaks programs built against an earlier 1.x. From abidiff's exit status:
#   - bit 1 or 2 (abidiff could not compare): fail;
#   - bit 8 (incompatible: a function or variable removed, a symbol gone or
#     moved to another version node): fail;
#   - bit 4 (a change that may or may not be compatible): pass only when it
#     is nothing but added functions, that is when abidiff with added symbols
#     left out (--no-added-syms) finds no change at all and no variable was
#     added. A changed function (a parameter, a return type, or a type it
#     reaches, such as a field added to the chronel handle) fails, and so
#     does an added variable: the library exports no data, and a variable's
#     size would be frozen into every program that copies it.
# Added functions pass, but become ABI only once recorded: a release that
# adds some records them with --update, in a commit of their own.
#
# Also required: the exported symbols are exactly the header's functions,
# each at its version node of src/chronels.map (CHRONELS_1.0, ...).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
update=0
if [ "${1:-}" = --update ]; then update=1; shift; fi
[ $# = 2 ] || { echo "usage: $0 [--update] BUILD_DIR x86_64|powerpc" >&2; exit 2; }
build=$(realpath -m "$1") arch=$2
fail() { echo "abi-check: FAIL ($arch): $*" >&2; exit 1; }
step() { echo "abi-check: $*"; }

case $arch in
  x86_64) machine='X86-64' ;;
  powerpc) machine='PowerPC$' ;;
  *) fail "unknown architecture '$arch' (x86_64 or powerpc)" ;;
esac
baseline=$src/cmake/abi/chronels-$arch.abi
# The soname's link names whatever 1.x the build made.
so=$build/libchronels.so.1
[ -f "$so" ] || fail "no $so: build it first"
# Outputs are read whole, not piped into grep -q: readelf killed by SIGPIPE
# when grep stops early would fail the pipeline (pipefail).
header=$(readelf -h "$so") sections=$(readelf -S -W "$so")
grep -q "Machine: *.*$machine" <<<"$header" || fail "$so is not $arch: $(grep Machine: <<<"$header")"
grep -q '\.debug_info' <<<"$sections" || fail "$so has no debug info: build it RelWithDebInfo"
# The build's copy of the header (its version and time_t width filled in),
# or, from a build made before it wrote one, the source header.
headers=$src/include
[ -f "$build/include/chronels.h" ] && headers=$build/include

# Exports: defined global dynamic symbols other than the version nodes' own.
exported=$(readelf --dyn-syms -W "$so" | awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" && $7 != "ABS" && NF >= 8 {print $8}' | sort)
declared=$(sed -n 's/^\(int\|void\) \(chronel_[a-z_]*\)(.*/\2/p' "$headers/chronels.h" | sort)
[ "$(echo "$exported" | sed 's/@.*//')" = "$declared" ] ||
  fail "exports $(echo $exported), the header declares $(echo $declared)"
unversioned=$(echo "$exported" | grep -v '@@CHRONELS_[0-9][0-9.]*$' || true)
[ -z "$unversioned" ] || fail "exported without a CHRONELS_ version node: $(echo $unversioned)"
# Each at the node the version script puts it in: a function moved to
# another node is a symbol gone for the programs linked against the old one.
mapped=$(awk '/^[A-Z][A-Z0-9_.]* *\{/ {node = $1} node != "" && /^ *[a-z_][a-z0-9_]* *;/ {gsub(/[ ;]/, ""); print $0 "@@" node}' \
  "$src/src/chronels.map" | sort)
[ "$exported" = "$mapped" ] || fail "exports $(echo $exported), src/chronels.map has $(echo $mapped)"
step "$arch exports $(echo "$exported" | wc -l) functions: $(echo $exported)"

# Locations and paths left out: the description changes only with the ABI.
# Not --drop-private-types: it leaves PowerPC's struct timespec (a C library
# type) a bare declaration, and a change of time_t width would go unseen.
current=$(mktemp)
trap 'rm -f "$current"' EXIT
abidw --headers-dir "$headers" --no-show-locs --short-locs \
  --no-corpus-path --no-comp-dir-path --out-file "$current" "$so"
if [ $update = 1 ]; then
  mkdir -p "$(dirname "$baseline")" && cp "$current" "$baseline"
  step "recorded ${baseline#"$src"/}"
  exit 0
fi
[ -f "$baseline" ] || fail "no baseline ${baseline#"$src"/}: record one with --update"

status=0
report=$(abidiff "$baseline" "$current") || status=$?
[ -z "$report" ] || echo "$report" | sed 's/^/abi-check: | /'
if (( status & 3 )); then
  fail "abidiff could not compare (status $status)"
elif (( status & 8 )); then
  fail "incompatible ABI change against ${baseline#"$src"/} (abidiff status $status)"
elif (( status & 4 )); then
  rest=0
  abidiff --no-added-syms "$baseline" "$current" >/dev/null || rest=$?
  vars=$(echo "$report" | sed -n 's/^Variable.* changes summary:.* \([0-9][0-9]*\) Added.*/\1/p' | awk '{n += $1} END {print n + 0}')
  [ "$rest" = 0 ] && [ "$vars" = 0 ] ||
    fail "ABI changed, not only added to, against ${baseline#"$src"/} (abidiff status $status)"
  echo "ci-check: ABI of $arch: functions added to ${baseline#"$src"/}, nothing else changed"
else
  echo "ci-check: ABI of $arch as recorded in ${baseline#"$src"/}"
fi

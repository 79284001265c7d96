#!/bin/sh
# SPDX-License-Identifier: MIT
# run_spin.sh MODEL holds|rejected [spin -D options]: every interleaving, within
# 1 GB; "rejected" expects an error, whose trail's last steps are printed.
want=$2 dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
cp "$1" "$dir/m.pml" && cd "$dir" && shift 2 || exit 1
spin -a "$@" m.pml && cc -O2 -w -DSAFETY -DCOLLAPSE -DMEMLIM=1024 -o pan pan.c || exit 1
./pan -m200000 >out; grep -E "^pan:|errors:|states, stored|too small|not completed" out
[ -f m.pml.trail ] || { [ "$want" = holds ] && grep -q "errors: 0" out && ! grep -qE "too small|not completed" out; exit; }
spin -t -p "$@" m.pml | grep -E "^ *[0-9]+:\s+proc" | grep -v kernel | tail -25
[ "$want" = rejected ]

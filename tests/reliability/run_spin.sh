#!/bin/sh
# run_spin.sh MODEL holds|rejected [spin -D options...]
# Checks every interleaving of the model (safety: assertions and invalid end
# states); "rejected" expects spin to find an error, and prints its trail.
model=$1 want=$2
shift 2
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
cp "$model" "$dir/model.pml" && cd "$dir" || exit 1
spin -a "$@" model.pml >spin.out 2>&1 || { cat spin.out; exit 1; }
cc -O2 -w -DSAFETY -DCOLLAPSE -o pan pan.c || exit 1
./pan -m200000 >pan.out 2>&1
grep -E "^pan:|errors:|states, stored|elapsed" pan.out
grep -q "max search depth too small" pan.out && { echo "run_spin: search depth too small"; exit 1; }
errors=$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' pan.out)
case "$want:$errors" in
holds:0) echo "run_spin: no error in any interleaving" ;;
rejected:0) echo "run_spin: the variant $* was not rejected"; exit 1 ;;
rejected:*)
    echo "run_spin: rejected as expected; the counterexample, without the kernel's steps:"
    spin -t -p "$@" model.pml 2>&1 | grep -E "^ *[0-9]+:\s+proc" | grep -v "kernel:" | sed 's/^ *//' | tail -40 ;;
*) echo "run_spin: spin found an error"; spin -t -p "$@" model.pml 2>&1 | tail -60; exit 1 ;;
esac

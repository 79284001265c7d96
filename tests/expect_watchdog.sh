#!/bin/sh
# The hanging probe with a 2 s watchdog must exit 3 and print the stacks of
# the waiting call and of the callback that never returns.
out=$(CHRONELS_PROBE_HANG=1 CHRONELS_WATCHDOG_S=2 timeout -k 5 60 "$1" --gtest_filter='Watchdog.*' 2>&1)
rc=$?
echo "$out"
[ "$rc" = 3 ] || { echo "expect_watchdog: exit status $rc, not the watchdog's 3"; exit 1; }
for want in "watchdog: test still running" wait_while hang_forever; do
  echo "$out" | grep -q "$want" || { echo "expect_watchdog: no '$want' in the output"; exit 1; }
done

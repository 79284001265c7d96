#!/bin/sh
# Runs the hanging probe with a 2 s watchdog: it must exit 3 and print the
# stacks, with the waiting call and the callback that never returns.
out=$(CHRONELS_PROBE_HANG=1 CHRONELS_WATCHDOG_S=2 timeout -k 5 60 "$1" 2>&1)
rc=$?
echo "$out"
fail() { echo "expect_watchdog: $1" >&2; exit 1; }
[ "$rc" = 3 ] || fail "exit status $rc, not the watchdog's 3"
echo "$out" | grep -q "watchdog: test still running" || fail "no watchdog notice"
echo "$out" | grep -q "chronel_settime" || fail "no stack with the waiting chronel_settime"
echo "$out" | grep -q "hang_forever" || fail "no stack with the hung callback"
echo "expect_watchdog: the hang was reported with every thread's stack"

#!/bin/sh
# Runs agentemu --json with procmon.scenario against procmon; passes when the run
# was clean (exit 0: no violation, every expect held, procmon exited 0), there was
# one restart, and procmon's event thread was heard.
# usage: check.sh AGENTEMU PROCMON SCENARIO
out=$(PROCMON_EVENT_MS=100 "$1" --json --script "$3" "$2") || { echo "$out"; exit 1; }
echo "$out" | grep -q '"type":"event","group":"Memory"' || { echo "$out"; echo "no event arrived" >&2; exit 1; }
echo "$out" | grep -q '"type":"restart"' || { echo "$out"; echo "no restart line" >&2; exit 1; }

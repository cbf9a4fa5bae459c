#!/bin/sh
# A conversation traced by the library at level 0x01 becomes a script with
# --from-trace; the script is exact and replays clean against the same provider; a
# trace cut inside a dump still gives a script, with the cut dump as a comment.
#
# usage: trace_replay.sh AGENTEMU PROVIDER SCRIPT EXPECTED_SCENARIO CHECK WORK_DIR
set -u
agentemu=$1 provider=$2 script=$3 expected=$4 check=$5 work=$6
trace=$work/field.trace
made=$work/from_trace.scenario
rm -f "$trace"
CP_TRACE_LEVEL=0x01 CP_TRACE_FILE=$trace "$agentemu" --script "$script" "$provider" echo >/dev/null || exit 1
"$agentemu" --from-trace "$trace" >"$made" || exit 1
[ "${AGENTEMU_UPDATE:-}" = 1 ] && cp "$made" "$expected"
diff -u "$expected" "$made" || exit 1
sh "$check" 0 clean "$agentemu" --json --script "$made" "$provider" echo || exit 1
awk '{ print } /receive on socket/ { getline; print; exit }' "$trace" >"$trace.cut"
"$agentemu" --from-trace "$trace.cut" | grep -q '^# trace line [0-9]*: a dump of 50 bytes that is cut short' || exit 1

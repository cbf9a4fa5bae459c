#!/bin/sh
# A provider whose values move, recorded with --live, replays clean three times in a row.
# usage: live_replay.sh AGENTEMU RECORDING PROVIDER [ARGS...]
set -u
agentemu=$1 recording=$2
shift 2
"$agentemu" --live --record "$recording" --rounds 2 --interval 200 --task loadavg -- "$@" >/dev/null || exit 1
grep -q '^expect cell-number ' "$recording" || { echo "live_replay.sh: no value was recorded as live" >&2; exit 1; }
for replay in 1 2 3; do
  out=$("$agentemu" --script "$recording" -- "$@") || { echo "$out"; echo "live_replay.sh: replay $replay failed" >&2; exit 1; }
done

#!/bin/sh
# Runs agentemu without a provider, starts the provider by hand with the port that
# agentemu printed, and checks agentemu's output with check.sh.
# usage: by_hand.sh AGENTEMU PROVIDER EXPECTED_FILE CHECK_SH
set -u
agentemu=$1 provider=$2 expected=$3 check=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The provider waits for the "listening" line and takes the port from it.
(
  port=""
  for attempt in $(seq 1 200); do
    port=$(sed -n 's/.*"port":\([0-9]*\).*/\1/p' "$dir/out" 2>/dev/null | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  CP_PORT=$port exec "$provider"
) &
sh "$check" 0 "$expected" sh -c '"$1" --json --timeout 5 >"$2"; status=$?; cat "$2"; exit $status' \
  sh "$agentemu" "$dir/out"
status=$?
wait
exit $status

#!/bin/sh
# Runs agentemu and compares its output, with the run-dependent numbers masked
# (latencies, port, pid, the provider's path), against an expected file. Latency
# percentiles and slow answers are kept as under or over a second, rates are masked.
#
# usage: check.sh STATUS EXPECTED_FILE COMMAND [ARGS...]
#   STATUS         the exit status agentemu must give
#   EXPECTED_FILE  the exact output expected (with AGENTEMU_UPDATE=1 it is rewritten instead);
#                  "-" checks the status only; "clean" checks that a --json run registered
#                  at least one group, reported no violation and ended with "ok":true
# With AGENTEMU_RSS_MARGIN_KB=N in the environment, and GNU time at /usr/bin/time, the
# command's peak resident memory must also stay within N kB of that of "COMMAND --help".
set -u
want_status=$1
expected=$2
shift 2

actual=$(mktemp)
trap 'rm -f "$actual" "$actual.raw" "$actual.rss" "$actual.base"' EXIT

rss_margin=${AGENTEMU_RSS_MARGIN_KB:-}
if [ -n "$rss_margin" ] && /usr/bin/time -f %M -o "$actual.base" "$1" --help >/dev/null 2>&1; then
  set -- /usr/bin/time -f %M -o "$actual.rss" "$@"
elif [ -n "$rss_margin" ]; then
  echo "check.sh: no GNU time at /usr/bin/time; memory not checked" >&2
  rss_margin=""
fi
"$@" >"$actual.raw"
status=$?
sed -E \
  -e 's/"latencyMs":[0-9.]+/"latencyMs":0/g' \
  -e 's/"(p50|p90|p99|max)Ms":[0-9]{1,3}\.[0-9]+/"\1Ms":"<1s"/g' \
  -e 's/"(p50|p90|p99|max)Ms":[0-9]{4,}\.[0-9]+/"\1Ms":">=1s"/g' \
  -e 's/(took|p50|p90|p99|max) [0-9]{1,3}\.[0-9]+ ms/\1 <1s/g' \
  -e 's/(took|p50|p90|p99|max) [0-9]{4,}\.[0-9]+ ms/\1 >=1s/g' \
  -e 's/"port":[0-9]+/"port":0/g' \
  -e 's/CP_PORT=[0-9]+/CP_PORT=0/g' \
  -e 's/"(sent|answered)PerS":[0-9.]+/"\1PerS":0/g' \
  -e 's#\([0-9.]+/s\)#(N/s)#g' \
  -e 's/127\.0\.0\.1:[0-9]+/127.0.0.1:0/g' \
  -e 's/\([0-9]+\.[0-9]+ ms\)/(0 ms)/g' \
  -e 's/\(pid [0-9]+\)/(pid 0)/g' \
  -e 's#started [^ ]*/#started #' \
  "$actual.raw" >"$actual"

failed=0
if [ "$expected" = clean ]; then
  if ! grep -q '"type":"registered","ver":[0-9]*,"groups":\[{' "$actual" ||
     grep -q '"type":"violation"' "$actual" || ! tail -n 1 "$actual" | grep -q '"ok":true}$'; then
    cat "$actual"
    echo "check.sh: the run registered no group, saw a violation or did not end ok" >&2
    failed=1
  fi
elif [ "$expected" != - ]; then
  if [ "${AGENTEMU_UPDATE:-}" = 1 ]; then
    cp "$actual" "$expected"
  fi
  if ! diff -u "$expected" "$actual"; then
    echo "check.sh: the output differs from $expected" >&2
    failed=1
  fi
fi
# GNU time writes a failed command's status on a line before the number.
if [ -n "$rss_margin" ] && [ "$(tail -n 1 "$actual.rss")" -gt $(($(tail -n 1 "$actual.base") + rss_margin)) ]; then
  echo "check.sh: peak memory $(tail -n 1 "$actual.rss") kB, more than $rss_margin kB over that of --help" >&2
  failed=1
fi
if [ "$status" -ne "$want_status" ]; then
  echo "check.sh: exit status $status, expected $want_status" >&2
  failed=1
fi
exit $failed

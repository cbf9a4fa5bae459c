#!/bin/sh
# Renders each manual page given with groff's warnings on and as man(1) does for
# lintian; any line on standard error fails the test. Skips (77) without groff or man.
command -v groff >/dev/null && command -v man >/dev/null || { echo "SKIPPED: groff or man missing"; exit 77; }
status=0
for page in "$@"; do
  warnings=$( { groff -ww -z -man -t "$page"; LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null; } 2>&1)
  if [ -n "$warnings" ]; then
    printf 'FAIL: %s\n%s\n' "$page" "$warnings"
    status=1
  fi
done
exit $status

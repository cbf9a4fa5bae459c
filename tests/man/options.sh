#!/bin/sh
# Fails unless the OPTIONS section of agentemu(1) has a tag for each option that
# `agentemu --help` prints, and for no other.
set -eu
agentemu=$1 page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$agentemu" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p' | sort >"$work/help"
# The line after each .TP of the OPTIONS section is a tag.
awk '/^\.SH/ { options = $2 == "OPTIONS" } options && tag { print } { tag = options && /^\.TP/ }' "$page" |
  sed -n 's/^\.[BIR]*  *\(\\-\\-[a-z\\-]*\).*/\1/p' |
  sed 's/\\-/-/g' | sort >"$work/page"
[ -s "$work/help" ] || { echo "FAIL: no option found in agentemu --help"; exit 1; }
diff -u --label "agentemu --help" "$work/help" --label "$page" "$work/page"

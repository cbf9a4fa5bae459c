#!/bin/sh
# A word of megabytes in a script line or an option's value is a usage error whose
# one line on standard error quotes the word's first 64 bytes and gives its length.
# usage: huge_word.sh AGENTEMU WORK_DIR
set -u
agentemu=$1 script=$2/huge_word.scenario
x62=$(printf '%062d' 0 | tr 0 x)
failed=0
# expect WANT ARGS...: agentemu ARGS fails with status 2 and WANT as its whole standard error.
expect() {
  want="$1 status 2 "
  shift
  got=$({ "$agentemu" "$@" 2>&1 >/dev/null; echo "status $?"; } | tr '\n' ' ')
  [ "$got" = "$want" ] || { printf 'want: %s\n got: %.300s\n' "$want" "$got"; failed=1; }
}
# Each case: the script line before a word of 4000000 x, and the error after "FILE:1: ".
while IFS='|' read -r before error; do
  { printf '%s' "$before"; head -c 4000000 /dev/zero | tr '\0' x; echo; } >"$script"
  expect "agentemu: $script:1: $error" --script "$script" true
done <<CASES
|unknown step "xx$x62..." (4000000 bytes)
data Echo |unexpected word "xx$x62..." (4000000 bytes) (quote a value that holds blanks)
data Echo filter=|filter "xx$x62..." (4000000 bytes) is not NAME<op>VALUE
stop Echo k=|unknown or invalid "k=$x62..." (4000002 bytes)
CASES
expect "agentemu: invalid value for --port: 99$(echo "$x62" | tr x 9)... (100000 bytes)" \
  --port "$(head -c 100000 /dev/zero | tr '\0' 9)" true
exit $failed

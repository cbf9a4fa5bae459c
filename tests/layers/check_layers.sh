#!/bin/sh
# Checks every #include "layer/..." line of the library's folders against the
# layer table in docs/DESIGN.md: a layer may include itself and what its
# "Builds on" column names ("everything below" means every layer under it in
# the table, "nothing" none). Prints each include that breaks the table.
# Usage: check_layers.sh SOURCE_ROOT
root=${1:?usage: check_layers.sh SOURCE_ROOT}
table=$(awk -F'|' '
  /^\| Layer \|/ { on = 1; next }
  on && !/^\|/ { exit }
  on && $2 ~ /`[a-z]+\/`/ {
    match($2, /[a-z]+\//); layer = substr($2, RSTART, RLENGTH - 1)
    print layer "|" $4
  }' "$root/docs/DESIGN.md")
[ -n "$table" ] || { echo "no layer table in docs/DESIGN.md"; exit 1; }

layers=$(printf '%s\n' "$table" | cut -d'|' -f1)
status=0
below=""
# Walk the table bottom up, so that "everything below" is known at each row.
for layer in $(printf '%s\n' "$layers" | sed -n '1!G;h;$p'); do
  builds=$(printf '%s\n' "$table" | grep "^$layer|" | cut -d'|' -f2)
  case "$builds" in
    *"everything below"*) allowed="$below" ;;
    *nothing*) allowed="" ;;
    *) allowed=$(printf '%s' "$builds" | tr -c 'a-z\n' ' ') ;;
  esac
  for file in "$root/$layer"/*; do
    [ -f "$file" ] || continue
    for used in $(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' "$file" | sort -u); do
      case " $layer $allowed " in
        *" $used "*) ;;
        *) echo "${file#"$root"/} includes $used/, which $layer/ does not build on"; status=1 ;;
      esac
    done
  done
  below="$below $layer"
done
[ $status -eq 0 ] && echo "every include follows the layer table ($(echo $layers | tr '\n' ' '))"
exit $status

#!/bin/sh
# The options of the program's usage text, of the man page and of the README's option table
# agree, and the man page renders without a warning. Usage: docs_test.sh PATH-TO-KORVOFW
set -eu
bin=${1:?usage: docs_test.sh PATH-TO-KORVOFW}
root=$(cd "$(dirname "$0")/.." && pwd)
man=$root/packaging/korvofw.1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "docs_test: $*" >&2 && exit 1; }

# -h prints the usage text on standard error and exits with 255 (within seconds).
status=0
timeout 10 "$bin" -h >/dev/null 2>"$work/err" || status=$?
[ "$status" -eq 255 ] && grep -q '^Usage: ' "$work/err" || fail "$bin -h: status $status, no usage"
{ grep -o '\[-[A-Za-z]' "$work/err" | cut -c3; echo h; } | sort -u >"$work/usage"
# The man page's OPTIONS items (".TP", then ".B \-X" or ".BI \-X"); the README's "## Options"
# table, "| `-X ...` |".
awk '/^\.SH / { on = ($2 == "OPTIONS") } on && tp && /^\.BI? \\-[A-Za-z]/ { print substr($2, 3, 1) }
     { tp = /^\.TP/ }' "$man" | sort -u >"$work/man"
awk '/^## / { on = ($0 == "## Options") }
     on && /^\| *`-[A-Za-z]/ { sub(/^\| *`-/, ""); print substr($0, 1, 1) }' \
    "$root/README.md" | sort -u >"$work/readme"
for list in man readme; do
    [ -s "$work/$list" ] || fail "found no option in the $list"
    diff -u "$work/usage" "$work/$list" >&2 || fail "the usage text (-) and the $list (+) differ"
done
if command -v groff >/dev/null 2>&1; then
    groff -t -man -Tutf8 -ww -z "$man" 2>"$work/groff" || fail "groff failed on $man"
    [ ! -s "$work/groff" ] || { cat "$work/groff" >&2; fail "groff warns about $man"; }
fi
# The udev rule gives the operator every part's bootloader, in each of its lines.
"$bin" --list-parts | awk 'NR > 1 { sub(/^03eb:/, "", $2); print $2 }' | sort -u >"$work/parts"
grep -o 'idProduct}=="[^"]*"' "$root/packaging/60-korvofw.rules" >"$work/rule-lines"
[ "$(wc -l <"$work/rule-lines")" -eq 2 ] || fail "60-korvofw.rules: expected two idProduct matches"
while read -r line; do
    echo "$line" | sed 's/.*=="//; s/"$//' | tr '|' '\n' | sort -u >"$work/rule"
    diff -u "$work/parts" "$work/rule" >&2 || fail "the parts (-) and 60-korvofw.rules (+) differ"
done <"$work/rule-lines"
echo "docs_test: usage text, man page and README agree on -$(tr -d '\n' <"$work/usage")"

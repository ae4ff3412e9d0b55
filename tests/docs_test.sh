#!/bin/sh
# The options of the program's usage text, of the man page and of the README's option table
# agree. Usage: docs_test.sh PATH-TO-KORVOFW
set -eu

bin=${1:?usage: docs_test.sh PATH-TO-KORVOFW}
root=$(cd "$(dirname "$0")/.." && pwd)
man=$root/packaging/korvofw.1
readme=$root/README.md
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "docs_test: $*" >&2
    exit 1
}

# The usage text, as -h shows it: exit status 255, "Usage: " on standard error. The letters
# are those of its "[-X ...]" items; -h itself prints the text, so it is one of them too.
status=0
"$bin" -h >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 255 ] || fail "$bin -h exited with $status, not 255"
grep -q '^Usage: ' "$work/err" || fail "$bin -h printed no usage text on standard error"
{
    grep -o '\[-[A-Za-z]' "$work/err" | cut -c3
    echo h
} | sort -u >"$work/usage"

# The man page: the items of its OPTIONS section, ".TP" followed by ".B \-X" or ".BI \-X".
[ -f "$man" ] || fail "no man page at $man"
awk '
    /^\.SH / { in_options = ($2 == "OPTIONS") }
    in_options && after_tp && /^\.BI? \\-[A-Za-z]/ { print substr($2, 3, 1) }
    { after_tp = /^\.TP/ }
' "$man" | sort -u >"$work/man"

# The README: the first column of the table in its "## Options" section, "| `-X ...` |".
[ -f "$readme" ] || fail "no README at $readme"
awk '
    /^## / { in_options = ($0 == "## Options") }
    in_options && /^\| *`-[A-Za-z]/ { sub(/^\| *`-/, ""); print substr($0, 1, 1) }
' "$readme" | sort -u >"$work/readme"

for list in usage man readme; do
    [ -s "$work/$list" ] || fail "found no option in the $list"
done

ok=true
for list in man readme; do
    if ! diff -u "$work/usage" "$work/$list" >"$work/diff"; then
        echo "docs_test: the options of the usage text (-) and of the $list (+) differ:" >&2
        cat "$work/diff" >&2
        ok=false
    fi
done
$ok || exit 1

# The man page renders without a warning, where groff is installed.
if command -v groff >/dev/null 2>&1; then
    groff -t -man -Tutf8 -ww -z "$man" 2>"$work/groff" || fail "groff failed on $man"
    if [ -s "$work/groff" ]; then
        cat "$work/groff" >&2
        fail "groff warns about $man"
    fi
fi
echo "docs_test: usage text, man page and README agree on -$(tr -d '\n' <"$work/usage")"

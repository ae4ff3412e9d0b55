#!/bin/sh
# Guest side of the real-kernel bench: runs the shell snippets the host drops
# into /share/cmd as <n>.sh, in order, each with its output in <n>.out and
# its exit status in <n>.rc, until the host creates /share/cmd/end.
set -u
cmd=/share/cmd
mkdir -p "$cmd"
n=0
while :; do
    if [ -f "$cmd/$n.sh" ]; then
        (cd /share && sh "$cmd/$n.sh") >"$cmd/$n.out" 2>&1 </dev/null
        echo $? >"$cmd/$n.rc.part"
        mv "$cmd/$n.rc.part" "$cmd/$n.rc"
        n=$((n + 1))
    elif [ -f "$cmd/end" ]; then
        exit 0
    else
        sleep 0.05
    fi
done

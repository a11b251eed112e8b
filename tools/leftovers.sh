#!/bin/sh
# Every process a test starts must be gone when it ends. Records the
# processes running before the tests, and afterwards fails, listing them,
# if any other is still running after a grace period (a keeper finishing a
# restore, a wineserver's few idle seconds). Zombies are not running.
# usage: tools/leftovers.sh record FILE
#        tools/leftovers.sh check FILE [GRACE_SECONDS]
set -eu
mode="$1"
file="$2"
if [ "$mode" = record ]; then
    ps -e -o pid= | tr -d ' ' >"$file"
    exit 0
fi
grace="${3:-15}"
self=$$
# Every running process that was not there before and is not this script
# or one of its own children (ps, awk, subshells).
leftovers() {
    ps -e -o pid=,ppid=,stat=,args= | awk -v self="$self" -v before="$(tr '\n' ' ' <"$file")" '
        { pid[NR] = $1; stat[NR] = $3; line[NR] = $0; parent[$1] = $2 }
        END {
            n = split(before, known, " ")
            for (i = 1; i <= n; i++) old[known[i]] = 1
            for (i = 1; i <= NR; i++) {
                # Zombies do not run; kernel threads come and go by themselves.
                if (stat[i] ~ /^Z/ || pid[i] in old || pid[i] == 2 || parent[pid[i]] == 2) continue
                ours = 0
                for (p = pid[i]; p != "" && p > 1; p = parent[p])
                    if (p == self) { ours = 1; break }
                if (!ours) print line[i]
            }
        }'
}
waited=0
while [ -n "$(leftovers)" ]; do
    if [ "$waited" -ge "$grace" ]; then
        echo "processes left behind by the tests:" >&2
        leftovers >&2
        exit 1
    fi
    sleep 1
    waited=$((waited + 1))
done

#!/bin/sh
# Every process a test starts must be gone when it ends. The test script
# exports APPDUCK_TEST_RUN, which every process the tests start inherits
# (servers, players, appduck and its keeper, Wine's processes); this fails,
# listing them, if any such process still runs after a grace period (a
# keeper finishing a restore, a wineserver's few idle seconds). Zombies do
# not run; this script and its own children are not leftovers.
# usage: APPDUCK_TEST_RUN=... tools/leftovers.sh [GRACE_SECONDS]
set -eu
: "${APPDUCK_TEST_RUN:?run by tools/test.sh, which marks the tests' processes}"
grace="${1:-15}"
self=$$

leftovers() {
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        [ "$pid" = "$self" ] && continue
        stat=$(sed -n 's/^State:[[:space:]]*\(.\).*/\1/p' "$entry/status" 2>/dev/null) || continue
        [ -n "$stat" ] && [ "$stat" != Z ] || continue
        parent=$(sed -n 's/^PPid:[[:space:]]*//p' "$entry/status" 2>/dev/null) || continue
        [ "$parent" = "$self" ] && continue
        { tr '\0' '\n' <"$entry/environ"; } 2>/dev/null |
            grep -qx "APPDUCK_TEST_RUN=$APPDUCK_TEST_RUN" || continue
        echo "$pid $({ tr '\0' ' ' <"$entry/cmdline"; } 2>/dev/null)"
    done
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

#!/bin/sh
# The real-sound suites (PulseAudio and PipeWire: replies, the keeper, ended
# streams, 190 streams, a stalled server, own raw levels, several
# controllers, the clients) N times in a row while every core is kept busy,
# as on a loaded desktop; a pass count at the end.
# usage: tools/soak.sh [N] [preset]    (defaults: 3, linux; the preset must be built)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
preset=${2:-linux}
burners=""
stop_burners() {
    # shellcheck disable=SC2086
    [ -z "$burners" ] || kill $burners 2>/dev/null || true
}
trap stop_burners EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$(nproc)"); do
    sh -c 'while :; do :; done' &
    burners="$burners $!"
done
# The long form of the tests that count cycles, unless told otherwise.
APPDUCK_CYCLES=${APPDUCK_CYCLES:-150}
export APPDUCK_CYCLES
passed=0
for run in $(seq "$runs"); do
    echo "== soak run $run of $runs, every core busy"
    if ctest --preset "$preset" -R '^(real_sound|guarantees|own_levels|controllers|clients)' --output-on-failure; then
        passed=$((passed + 1))
    fi
done
echo "soak: $passed passed, $((runs - passed)) failed"
[ "$passed" -eq "$runs" ]

#!/bin/sh
# The real-sound suites (PulseAudio and PipeWire: replies, the keeper, ended
# streams, 190 streams, a stalled server, own raw levels, several
# controllers, real players, the user's hand, hooks, the clients) N times in a row for each preset
# while every core is kept busy, as on a loaded desktop, after 100,000 of
# the explorer's schedules of several controllers; a pass count for each
# preset at the end.
# usage: tools/soak.sh [N] [preset...]    (defaults: 3, linux and sanitize;
#                                          each preset is built first)
# With APPDUCK_SOAK_BURNERS=0 it starts none: something else keeps the cores
# busy (another soak beside it, say).
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
[ $# -gt 0 ] && shift
presets=${*:-linux sanitize}
for preset in $presets; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done
burners=""
stop_burners() {
    # shellcheck disable=SC2086
    [ -z "$burners" ] || kill $burners 2>/dev/null || true
}
trap stop_burners EXIT
trap 'exit 130' INT TERM
for _ in $(seq "${APPDUCK_SOAK_BURNERS:-$(nproc)}"); do
    sh -c 'while :; do :; done' &
    burners="$burners $!"
done
# Every process the tests start inherits this (the burners do not), so a
# run that leaves one behind fails.
APPDUCK_TEST_RUN="soak-$$-$(date +%s)"
export APPDUCK_TEST_RUN
# The long form of the tests that count cycles, unless told otherwise.
APPDUCK_CYCLES=${APPDUCK_CYCLES:-150}
export APPDUCK_CYCLES
# Each run's whole output, passing tests' included (a client started again
# says so there).
logs=build/soak-logs
mkdir -p "$logs"
summary=""
status=0
for preset in $presets; do
    passed=0
    echo "== 100,000 schedules of several controllers ($preset)"
    explored=passed
    APPDUCK_SCHEDULES=100000 ctest --preset "$preset" -R '^interleavings$' --output-on-failure ||
        explored=failed
    for run in $(seq "$runs"); do
        echo "== soak run $run of $runs ($preset), every core busy"
        # Every appduck's diagnostics and every server's log of the run, so
        # a failure seen once can still be read afterwards.
        APPDUCK_TEST_DEBUG_DIR="$PWD/$logs/debug-$preset-$run"
        rm -rf "$APPDUCK_TEST_DEBUG_DIR"
        mkdir -p "$APPDUCK_TEST_DEBUG_DIR"
        export APPDUCK_TEST_DEBUG_DIR
        if ctest --preset "$preset" -R '^(real_sound|guarantees|own_levels|controllers|players|users_hand|hooks|clients)' \
            --output-on-failure && tools/leftovers.sh; then
            passed=$((passed + 1))
        fi
        cp "build/$preset/Testing/Temporary/LastTest.log" "$logs/$preset-$run.log" ||
            echo "no test log of run $run ($preset)"
    done
    summary="$summary
soak ($preset): $passed passed, $((runs - passed)) failed; the schedules $explored"
    [ "$passed" -eq "$runs" ] && [ "$explored" = passed ] || status=1
done
echo "$summary"
exit "$status"

#!/bin/sh
# Builds appduck for Linux and for Windows and runs every test of both:
# - linux: the unit suite, real sound on PulseAudio and PipeWire (replies,
#   the keeper, ended streams, many streams, a stalled server, each stream's
#   own raw level), load, the examples, the documents' transcripts,
#   diagnostics, valgrind, the .deb and the README's commands (tools/run.sh
#   and the install lines); then, with PULSE_SERVER and
#   PULSE_RUNTIME_PATH pointing at another live server, every way the tests
#   start a program once more;
# - windows: the unit suite under Wine, the smoke test, the end-to-end
#   suite against the stand-in audio service, the .zip;
# - sanitize: the native suite under AddressSanitizer and UBSan, each
#   real-sound suite on PulseAudio and, on PipeWire, the two whose paths
#   differ there (tools/soak.sh runs them all on both);
# - fuzz: the command loop under libFuzzer for a minute.
# After each, no process a test started may still be running.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
jobs=$(nproc)
# Every process the tests start inherits this, so none can be overlooked.
APPDUCK_TEST_RUN="$$-$(date +%s)"
export APPDUCK_TEST_RUN

for preset in linux windows sanitize fuzz; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    # Under the sanitizers, PipeWire's own paths (a stream's first report
    # of 0, a refused second connection, no listed stream memory) are met
    # in players and users_hand; the linux preset runs every suite on both
    # servers, and the CI stays well under half an hour.
    skip=""
    [ "$preset" = sanitize ] && skip='^(real_sound|guarantees|own_levels|controllers|hooks)_pipewire$'
    ctest --preset "$preset" -j "$jobs" ${skip:+-E "$skip"}
    tools/leftovers.sh
    if [ "$preset" = linux ]; then
        # A desktop's sound setup in the caller's environment must not
        # matter: a live decoy server the tests must not use. Once for each
        # way the tests start a program (the test helpers' servers, players
        # and appducks; the clients and examples; the documents; the
        # packages), not every suite again.
        (
            . tests/support/pulse_server.sh
            start_pulse_server
            echo "again with PULSE_SERVER=$PULSE_SERVER and PULSE_RUNTIME_PATH=$PULSE_RUNTIME_PATH"
            status=0
            ctest --preset linux -j "$jobs" \
                -R '^(real_sound|players|clients|examples|transcripts|diagnostics|load|package_deb|install_as_documented)$' ||
                status=$?
            stop_pulse_server
            exit "$status"
        )
        tools/leftovers.sh
    fi
done

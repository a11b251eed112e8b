# A private PulseAudio server for tests: its own runtime directory, one null
# sink named "test", no idle exit. Source this file, then:
#   start_pulse_server     exports XDG_RUNTIME_DIR and PULSE_SERVER for clients
#   stop_pulse_server
start_pulse_server() {
    PULSE_TEST_DIR=$(mktemp -d "${TMPDIR:-/tmp}/appduck-pulse.XXXXXX")
    chmod 700 "$PULSE_TEST_DIR"
    export XDG_RUNTIME_DIR="$PULSE_TEST_DIR"
    export PULSE_SERVER="unix:$PULSE_TEST_DIR/pulse/native"
    pulseaudio --daemonize=yes --exit-idle-time=-1 -n \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=test" \
        --log-target="file:$PULSE_TEST_DIR/pulse.log" 2>/dev/null || true
    tries=0
    until pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ]; then
            echo "the test sound server did not start" >&2
            cat "$PULSE_TEST_DIR/pulse.log" >&2 2>/dev/null
            return 1
        fi
        sleep 0.1
    done
}

stop_pulse_server() {
    [ -n "${PULSE_TEST_DIR:-}" ] || return 0
    pactl exit >/dev/null 2>&1 || true
    pid=$(cat "$PULSE_TEST_DIR/pulse/pid" 2>/dev/null || true)
    [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
    rm -rf "$PULSE_TEST_DIR"
    PULSE_TEST_DIR=
}

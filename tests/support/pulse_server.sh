# A private PulseAudio server for tests and demos: its own runtime
# directory, one null sink named "test", no idle exit. Source this file,
# then:
#   start_pulse_server     isolates this shell from the caller's sound setup
#                          and exports what clients need to find the server
#   stop_pulse_server
start_pulse_server() {
    PULSE_TEST_DIR=$(mktemp -d "${TMPDIR:-/tmp}/appduck-pulse.XXXXXX")
    chmod 700 "$PULSE_TEST_DIR"
    # Nothing of a desktop session (or a script the caller sourced) may
    # lead the server or its clients to another server.
    for name in $(env | sed -n 's/^\(\(PULSE\|PIPEWIRE\|WIREPLUMBER\|SPA\|JACK\)_[A-Za-z0-9_]*\)=.*/\1/p'); do
        unset "$name"
    done
    unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_CONFIG_DIRS \
        DBUS_SESSION_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY APPDUCK_DEBUG
    export XDG_RUNTIME_DIR="$PULSE_TEST_DIR" HOME="$PULSE_TEST_DIR"
    export PULSE_RUNTIME_PATH="$PULSE_TEST_DIR/pulse" PULSE_STATE_PATH="$PULSE_TEST_DIR/state"
    export PULSE_SERVER="unix:$PULSE_TEST_DIR/pulse/native"
    # In the foreground of a background job, so this shell can end it; no
    # CPU limiter, which would end it silently on a busy machine.
    pulseaudio --daemonize=no --exit-idle-time=-1 -n --no-cpu-limit=yes --realtime=no \
        --high-priority=no --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=test" \
        --log-target="file:$PULSE_TEST_DIR/pulse.log" </dev/null >/dev/null 2>&1 &
    PULSE_TEST_PID=$!
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
    if [ -n "${PULSE_TEST_PID:-}" ]; then
        kill "$PULSE_TEST_PID" 2>/dev/null || true
        wait "$PULSE_TEST_PID" 2>/dev/null || true
    fi
    rm -rf "$PULSE_TEST_DIR"
    PULSE_TEST_DIR=
    PULSE_TEST_PID=
}

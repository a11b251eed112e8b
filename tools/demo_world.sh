# A private sound server with a null sink and two demo players, "player"
# and "chat" (copies of pacat playing silence), for trying appduck on a
# machine without a sound server. Source this file, then:
#   start_demo_world    exports what clients need to find the private server
#   stop_demo_world
here_demo=$(cd "$(dirname "$0")/.." && pwd)
. "$here_demo/tests/support/pulse_server.sh"

start_demo_world() {
    start_pulse_server
    DEMO_PLAYERS=$(mktemp -d "${TMPDIR:-/tmp}/appduck-demo.XXXXXX")
    # One after the other, so that `list` shows them in this order, as the
    # README's transcript does.
    count=0
    for name in player chat; do
        cp /usr/bin/pacat "$DEMO_PLAYERS/$name"
        # --raw: a name containing "play" would make pacat act as paplay.
        "$DEMO_PLAYERS/$name" --playback --raw --device=test </dev/zero >/dev/null 2>&1 &
        echo $! >>"$DEMO_PLAYERS/pids"
        count=$((count + 1))
        tries=0
        until [ "$(pactl list short sink-inputs | wc -l)" -ge "$count" ] || [ "$tries" -gt 50 ]; do
            tries=$((tries + 1))
            sleep 0.1
        done
    done
}

stop_demo_world() {
    [ -n "${DEMO_PLAYERS:-}" ] || return 0
    for pid in $(cat "$DEMO_PLAYERS/pids" 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$DEMO_PLAYERS"
    DEMO_PLAYERS=
    stop_pulse_server
}

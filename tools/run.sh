#!/bin/sh
# Builds the Linux appduck and runs it on your sound server (PulseAudio or
# PipeWire's pulse server), reading your commands from the terminal or a
# pipe. Where no server answers, it starts a private one with a null sink
# and two demo players, "player" and "chat", so list, duck and restore act
# on real streams.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh >&2
cmake --preset linux >&2
cmake --build --preset linux --target appduck >&2
appduck=build/linux/app/appduck

if pactl info >/dev/null 2>&1; then
    exec "$appduck"
fi

. tests/support/pulse_server.sh
start_pulse_server
players=$(mktemp -d "${TMPDIR:-/tmp}/appduck-demo.XXXXXX")
cleanup() {
    for pid in $(cat "$players/pids" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    rm -rf "$players"
    stop_pulse_server
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
for name in player chat; do
    cp /usr/bin/pacat "$players/$name"
    # --raw: a name containing "play" would make pacat act as paplay.
    "$players/$name" --playback --raw --device=test </dev/zero >/dev/null 2>&1 &
    echo $! >>"$players/pids"
done
tries=0
until [ "$(pactl list short sink-inputs | wc -l)" -ge 2 ] || [ "$tries" -gt 50 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
echo "no sound server answered: using a private one with demo players \"player\" and \"chat\"" >&2
"$appduck"

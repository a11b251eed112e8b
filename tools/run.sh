#!/bin/sh
# Builds the Linux appduck and runs it on your sound server (PulseAudio or
# PipeWire's pulse server), reading your commands from the terminal or a
# pipe. Where no server answers, it starts a private one with a null sink
# and two demo players, "player" and "chat", so list, duck and restore act
# on real streams. It installs only what that needs (tools/setup.sh run);
# the build's output goes to a log, shown should the build fail.
set -eu
cd "$(dirname "$0")/.."
log=build/run.log
mkdir -p build
tools/setup.sh run >&2
echo "building appduck (output in $log)" >&2
if ! { cmake --preset linux -DAPPDUCK_TESTS=OFF && cmake --build --preset linux --target appduck; } \
        >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    exit 1
fi
appduck=build/linux/app/appduck
commands="type list, duck 20 NAME, restore or quit (appduck --help tells more)"

if pactl info >/dev/null 2>&1; then
    [ ! -t 0 ] || echo "appduck on your sound server: $commands" >&2
    exec "$appduck"
fi
. tools/demo_world.sh
trap stop_demo_world EXIT
trap 'exit 130' INT TERM HUP
start_demo_world
if [ -t 0 ]; then
    echo "no sound server answered: a private one plays \"player\" and \"chat\"; in another" \
         "terminal, PULSE_SERVER=$PULSE_SERVER reaches it; $commands" >&2
fi
"$appduck"

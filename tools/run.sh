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
cmake --build --preset linux --target program >&2
appduck=build/linux/app/appduck

if pactl info >/dev/null 2>&1; then
    exec "$appduck"
fi
. tools/demo_world.sh
trap stop_demo_world EXIT
trap 'exit 130' INT TERM HUP
start_demo_world
echo "no sound server answered: using a private one with demo players \"player\" and \"chat\"" >&2
"$appduck"

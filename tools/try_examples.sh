#!/bin/sh
# Builds the Linux appduck and runs the Python and Node.js controller
# examples: each ducks "player" while a command shows the streams' volumes,
# then restores it. Uses your sound server, or a private one with demo
# players where none answers.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh >&2
cmake --preset linux >&2
cmake --build --preset linux --target appduck >&2
appduck=$PWD/build/linux/app/appduck

if ! pactl info >/dev/null 2>&1; then
    . tools/demo_world.sh
    trap stop_demo_world EXIT
    start_demo_world
fi
show='pactl list sink-inputs | grep -E "application.process.binary|^[[:space:]]*Volume:"'
echo "== Python"
python3 examples/python/duck_while.py --appduck "$appduck" player -- sh -c "$show"
echo "== Node.js"
node examples/node/duck_while.js --appduck "$appduck" --percent 50 player -- sh -c "$show"
echo "== afterwards"
sh -c "$show"

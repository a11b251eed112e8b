#!/bin/sh
# Builds appduck for Linux and Windows and prints the benchmark table:
# reply latency on a private PulseAudio server beside pactl, table rebuilds,
# ramps natively and under Wine, exe size and peak memory.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh >&2
for preset in linux windows; do
    cmake --preset "$preset" >&2
    cmake --build --preset "$preset" >&2
done
prefix=build/windows/wineprefix-standin
tests/wine/prepare_standin_prefix.sh "$PWD/$prefix" "$PWD/build/windows/tests/standin.dll" >&2
python3 bench/bench.py build/linux build/windows "$PWD/$prefix"

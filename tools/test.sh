#!/bin/sh
# Builds appduck for Linux and for Windows and runs every test of both:
# the unit suite natively and under Wine, and the Windows program's smoke test.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
for preset in linux windows; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

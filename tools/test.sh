#!/bin/sh
# Builds appduck for Linux and for Windows and runs every test of both:
# - linux: the unit suite, real sound on PulseAudio and PipeWire, load,
#   the controller examples, valgrind, the .deb;
# - windows: the unit suite under Wine, the smoke test, the end-to-end
#   suite against the stand-in audio service, the .zip;
# - sanitize: the native suite under AddressSanitizer and UBSan;
# - fuzz: the command loop under libFuzzer for a minute.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
for preset in linux windows sanitize fuzz; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

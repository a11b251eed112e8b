#!/bin/sh
# Builds appduck.exe and runs it under Wine on a private sound server,
# reading your commands from the terminal (or a pipe).
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh >&2
cmake --preset windows >&2
cmake --build --preset windows --target appduck >&2
. tests/support/pulse_server.sh
start_pulse_server
trap stop_pulse_server EXIT
tests/wine/run_under_wine.sh build/windows/app/appduck.exe

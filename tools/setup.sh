#!/bin/sh
# Installs what appduck needs on Debian 12, skipping what is already there.
# Needs root (or sudo) only when something is missing.
#   tools/setup.sh run    what building and running the Linux program needs,
#                         and the private demo server (tools/run.sh)
#   tools/setup.sh        all that, and what the tests need (tools/test.sh):
#                         MinGW-w64 and Wine, PipeWire, Clang, valgrind,
#                         Node.js, espeak-ng, mpv, the packaging tools
set -eu
run_packages="cmake ninja-build pkg-config g++ libpulse-dev pulseaudio pulseaudio-utils"
test_packages="googletest g++-mingw-w64-x86-64-posix wine wine64 python3
pipewire pipewire-bin pipewire-pulse wireplumber dbus
clang libclang-rt-14-dev libbenchmark-dev valgrind nodejs scdoc
dpkg-dev lintian espeak-ng python3-venv python3-setuptools python3-wheel mpv"
case "${1:-all}" in
run) packages=$run_packages ;;
all) packages="$run_packages $test_packages" ;;
*) echo "usage: tools/setup.sh [run]" >&2; exit 2 ;;
esac

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing

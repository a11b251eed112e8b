#!/bin/sh
# Installs what building and testing appduck needs on Debian 12, skipping
# what is already there. Needs root (or sudo) only when something is missing.
set -eu
packages="cmake ninja-build pkg-config g++ googletest
g++-mingw-w64-x86-64-posix wine wine64
pulseaudio pulseaudio-utils libpulse-dev python3
pipewire pipewire-pulse wireplumber dbus
clang libclang-rt-14-dev libbenchmark-dev valgrind nodejs scdoc
dpkg-dev lintian espeak-ng python3-venv python3-setuptools python3-wheel"

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

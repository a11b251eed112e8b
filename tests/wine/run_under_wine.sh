#!/bin/sh
# Runs a Windows test program under Wine in a private prefix, quietly.
# WINEPREFIX comes from the test (each build has its own); the default keeps
# a program started by hand out of the user's ~/.wine.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/appduck-wineprefix-$(id -u)}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
exec wine "$@"

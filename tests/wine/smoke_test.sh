#!/bin/sh
# Smoke test of the real appduck.exe under Wine: a short session through
# pipes, every reply checked byte for byte (text mode: CR LF line ends) and
# the exit status. A private sound server gives Wine an active playback
# endpoint; Wine's own session manager lists no sessions, so `list` is [].
# usage: smoke_test.sh appduck.exe
set -eu
exe="$1"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/pulse_server.sh"
start_pulse_server
trap stop_pulse_server EXIT

failures=0
# expect NAME INPUT EXPECTED: run a session and compare every byte.
expect() {
    actual=$(printf '%b' "$2" | "$here/run_under_wine.sh" "$exe" | od -An -c | tr -s ' \n' ' ')
    wanted=$(printf '%b' "$3" | od -An -c | tr -s ' \n' ' ')
    if [ "$actual" != "$wanted" ]; then
        echo "FAIL $1"
        echo "  expected:$wanted"
        echo "  actual:  $actual"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
}

ok='{"ok":true}\r\n'
no='{"ok":false}\r\n'
expect "list, unknown lines and quit" \
    'list\nLIST\n\nlisting\r\nquit\nlist\n' "[]\r\n$no$no[]\r\n$ok"
expect "end of input without quit" 'list\r\n' "[]\r\n$ok"
# Nothing can be ducked under Wine: every duck matches nothing and answers
# at once, and restore has nothing saved.
expect "duck, restore, list and quit" \
    'duck 20 player;chat*\r\nduck 50 *\nduck\nrestore\nlist\nquit\n' \
    '{"ok":true,"bajados":0}\r\n{"ok":true,"bajados":0}\r\n'"$no$ok[]\r\n$ok"
expect "no input at all" '' "$ok"
expect "a 0x1A byte ends text-mode input" 'list\n\032list\n' "[]\r\n$ok"

status=0
printf 'quit\n' | "$here/run_under_wine.sh" "$exe" >/dev/null || status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL exit status $status"
    failures=$((failures + 1))
fi
exit "$failures"

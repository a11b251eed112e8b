#!/bin/sh
# One session of the Linux appduck under valgrind's memcheck, on a private
# sound server with a player: no memory error and no definite leak.
# usage: valgrind_session.sh path/to/appduck
set -eu
appduck="$1"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/pulse_server.sh"
start_pulse_server
work=$(mktemp -d "${TMPDIR:-/tmp}/appduck-valgrind.XXXXXX")
cleanup() {
    [ -z "${player:-}" ] || kill "$player" 2>/dev/null || true
    rm -rf "$work"
    stop_pulse_server
}
trap cleanup EXIT
cp /usr/bin/pacat "$work/player"
"$work/player" --playback --raw --device=test </dev/zero >/dev/null 2>&1 &
player=$!
until pactl list short sink-inputs | grep -q .; do sleep 0.1; done

printf 'list\nduck 20 player\nlist\nhello\nrestore\nduck 30 *\n' |
    valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
        "$appduck" >"$work/replies"
expected='[{"exe":"player","name":"player","vol":100}]
{"ok":true,"bajados":1}
[{"exe":"player","name":"player","vol":20}]
{"ok":false}
{"ok":true}
{"ok":true,"bajados":1}
{"ok":true}'
if [ "$(cat "$work/replies")" != "$expected" ]; then
    echo "unexpected replies:"
    cat "$work/replies"
    exit 1
fi
echo "valgrind: clean session"

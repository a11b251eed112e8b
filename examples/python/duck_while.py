#!/usr/bin/env python3
"""Ducks applications while a command runs, then restores them: a small
appduck controller with nothing but the standard library.

    duck_while.py [--appduck PATH] [--percent P] NAMES -- COMMAND [ARGS...]

    duck_while.py 'player;chat*' -- espeak "The meeting starts in five minutes"

appduck answers every command with exactly one line of JSON, so the client
writes one line and reads one line. `duck` and `restore` answer only when
their ramp is done (about 300 ms); `list` answers at once.

POSIX only (Linux, macOS): the reply timeout waits on the pipe with
select(), which Windows does not offer for pipes. On Windows, read the
replies on a thread, or use the PowerShell or Node.js example.
"""
import argparse
import json
import select
import subprocess
import sys

REPLY_TIMEOUT = 5.0  # seconds: a ramp takes 0.3 s; anything far longer is a hang


class AppduckGone(Exception):
    """appduck's output ended: it exited or was killed."""


class Appduck:
    def __init__(self, path):
        # Line-buffered text both ways; appduck flushes every reply.
        try:
            self.process = subprocess.Popen([path], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, text=True,
                                            encoding="utf-8", bufsize=1)
        except OSError:  # not found, not executable
            self.process = None

    def ask(self, command):
        """Sends one command and returns its one reply, parsed."""
        if self.process is None:
            raise AppduckGone()
        try:
            self.process.stdin.write(command + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            raise AppduckGone() from None
        # One reply per command, so nothing is ever left in the buffer and
        # waiting on the pipe itself is safe.
        ready, _, _ = select.select([self.process.stdout], [], [], REPLY_TIMEOUT)
        if not ready:
            raise TimeoutError("appduck gave no reply to %r" % command)
        reply = self.process.stdout.readline()
        if not reply:  # end of output: there will be no reply
            raise AppduckGone()
        return json.loads(reply)

    def close(self):
        """Ends appduck's input: it restores what is ducked, answers
        {"ok":true} and exits with 0."""
        if self.process is None:
            return None
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        self.process.stdout.read()
        return self.process.wait(REPLY_TIMEOUT)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--appduck", default="appduck", help="the appduck program")
    # int() refuses anything but a whole number, such as "abc" or "20.5",
    # which appduck would read as 0 or 20.
    parser.add_argument("--percent", type=int, default=20, help="volume while ducked (whole percent)")
    parser.add_argument("names", help="applications, e.g. 'player;chat*'")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND [ARGS...]")
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    appduck = Appduck(args.appduck)
    try:
        reply = appduck.ask("duck %d %s" % (args.percent, args.names))
        if reply.get("bajados"):
            print("appduck: ducked %s to %d %%" % (args.names, args.percent), flush=True)
        else:
            print("appduck: nothing playing matches %s" % args.names, flush=True)
    except AppduckGone:
        # Ducking is a courtesy: the command still runs, only louder.
        print("appduck: not running; going on without ducking", file=sys.stderr, flush=True)

    status = subprocess.call(command)

    try:
        appduck.ask("restore")
        print("appduck: restored", flush=True)
    except AppduckGone:
        pass  # nothing of ours can still be ducked
    appduck.close()
    return status


if __name__ == "__main__":
    sys.exit(main())

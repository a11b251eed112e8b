#!/usr/bin/env python3
"""Ducks applications while a command runs, then restores them: a small
controller on the appduck client library (clients/python, or installed).

    duck_while.py [--appduck PATH] [--percent P] NAMES -- COMMAND [ARGS...]

    duck_while.py 'player;chat*' -- espeak-ng "The meeting starts in five minutes"

The client starts appduck (PATH, APPDUCK, or where the packages install it
when no --appduck is given), sends one line per call and pairs each reply
with its call, on Linux and Windows alike.
"""
import argparse
import os
import subprocess
import sys

try:
    import appduck
except ImportError:  # run from the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "..", "clients", "python"))
    import appduck


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--appduck", help="the appduck program")
    # int() refuses anything but a whole number, such as "abc" or "20.5",
    # which appduck would read as 0 or 20.
    parser.add_argument("--percent", type=int, default=20, help="volume while ducked (whole percent)")
    parser.add_argument("names", help="applications, e.g. 'player;chat*'")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND [ARGS...]")
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    client = None
    try:
        client = appduck.Appduck(args.appduck)
        if client.duck(args.percent, args.names):
            print("appduck: ducked %s to %d %%" % (args.names, args.percent), flush=True)
        else:
            print("appduck: nothing playing matches %s" % args.names, flush=True)
    except appduck.AppduckError as error:
        # Ducking is a courtesy: the command still runs, only louder.
        print("appduck: not running; going on without ducking (%s)" % error, file=sys.stderr,
              flush=True)

    status = subprocess.call(command)

    if client is not None:
        try:
            client.restore()
            print("appduck: restored", flush=True)
        except appduck.AppduckError:
            pass  # gone: nothing of ours can still be ducked
        client.close()
    return status


if __name__ == "__main__":
    sys.exit(main())

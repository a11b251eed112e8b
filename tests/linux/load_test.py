"""Load on the Linux appduck through pipes, on a private sound server with
one player: pipelined commands get their replies in order, whatever junk
arrives at full pipe speed.

usage: load_test.py path/to/appduck [unittest arguments]
"""
import os
import random
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

APPDUCK = None
LIST = b'[{"exe":"player","name":"player","vol":100}]\n'
NO = b'{"ok":false}\n'
OK = b'{"ok":true}\n'


class Load(sound_world.OnePlayerTestCase):
    def session(self, lines):
        """Writes every line at once from a thread of its own while reading
        all replies; returns (replies, seconds)."""
        data = b"".join(line + b"\n" for line in lines)
        process = subprocess.Popen([APPDUCK], env=self.server.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE)

        def write():
            process.stdin.write(data)
            process.stdin.close()
        writer = threading.Thread(target=write)
        started = time.monotonic()
        writer.start()
        replies = process.stdout.read().splitlines(keepends=True)
        seconds = time.monotonic() - started
        writer.join()
        process.stdout.close()
        self.assertEqual(process.wait(10), 0)
        return replies, seconds

    def assertReplies(self, replies, expected):
        self.assertEqual(len(replies), len(expected))
        for index, (reply, wanted) in enumerate(zip(replies, expected)):
            if reply != wanted:
                self.fail("reply %d is %r, expected %r" % (index, reply, wanted))

    def test_100000_pipelined_commands_get_100000_replies_in_order(self):
        lines, expected = [], []
        for i in range(100000):
            if i % 1000 == 0:
                lines.append(b"list")
                expected.append(LIST)
            elif i % 2:
                lines.append(b"restore")  # nothing saved: at once, no ramp
                expected.append(OK)
            else:
                lines.append(b"command %d" % i)
                expected.append(NO)
        replies, seconds = self.session(lines)
        self.assertReplies(replies, expected + [OK])
        print("\n100000 pipelined commands answered in %.2f s" % seconds, file=sys.stderr)

    def test_random_junk_at_full_speed_never_desynchronises_replies(self):
        rng = random.Random(20261207)
        lines, expected = [], []
        for _ in range(20000):
            if rng.random() < 0.05:
                lines.append(b"list")
                expected.append(LIST)
                continue
            junk = bytes(rng.choice(range(1, 256)) for _ in range(rng.choice((0, 1, 7, 80, 5000))))
            junk = junk.replace(b"\n", b" ")
            # Junk that happens to start like a command is no junk.
            while junk[:4] in (b"list", b"quit") or junk[:5] == b"duck " or junk[:7] == b"restore":
                junk = b"#" + junk
            lines.append(junk)
            expected.append(NO)
        replies, _ = self.session(lines)
        self.assertReplies(replies, expected + [OK])


if __name__ == "__main__":
    APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

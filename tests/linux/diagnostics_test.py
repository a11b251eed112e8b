"""APPDUCK_DEBUG=1: one line on standard error per failed platform call and
per connection made or lost; without it, nothing at all. The replies are
the same either way.

usage: diagnostics_test.py path/to/appduck [unittest arguments]
"""
import os
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

COMMANDS = b"list\nduck 20 nobody\nlist\n"


class Diagnostics(sound_world.OnePlayerTestCase):
    def run_appduck(self, debug, reachable, server=None, switch="1"):
        env = dict(self.server.env)
        if debug:
            env["APPDUCK_DEBUG"] = switch
        if not reachable:
            env["PULSE_SERVER"] = server or "unix:%s/nobody-here" % self.server.dir
        done = subprocess.run([sound_world.APPDUCK], env=env, input=COMMANDS,
                              capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0)
        return done.stdout.decode(), done.stderr.decode()

    def test_standard_error_stays_silent_without_the_switch(self):
        for reachable in (True, False):
            _, errors = self.run_appduck(False, reachable)
            self.assertEqual(errors, "", "reachable" if reachable else "unreachable")

    def test_a_line_per_connection_made(self):
        replies, errors = self.run_appduck(True, True)
        self.assertEqual(replies, self.run_appduck(False, True)[0])
        # The duck of nobody names what it saw instead.
        self.assertEqual(errors, "appduck: connected to the sound server at %s\n"
                                 "appduck: duck matched nothing for \"nobody\"; the sessions' "
                                 "executables: player\n" % self.server.env["PULSE_SERVER"])

    def test_a_line_per_failed_call_naming_the_address(self):
        # A socket file nobody listens on refuses; a missing one is named so.
        refusing = os.path.join(self.server.dir, "refusing")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(refusing)
        listener.close()
        for server, why in (("unix:%s/nobody-here" % self.server.dir, "no socket there"),
                            ("unix:" + refusing, "Connection refused")):
            replies, errors = self.run_appduck(True, False, server, switch="yes")
            self.assertEqual(replies, '[]\n{"ok":true,"bajados":0}\n[]\n{"ok":true}\n')
            failed = "appduck: connecting to the sound server at %s failed: %s\n" % (server, why)
            self.assertEqual(errors, failed * 2 + "appduck: duck matched nothing for \"nobody\"; "
                             "the sessions' executables: none\n" + failed)


COPY = 128 + 256 * 1024 - 128  # a copy of the table: its header and its text


def checksum(text):
    digest = 14695981039346656037
    for byte in text:
        digest = ((digest ^ byte) * 1099511628211) % 2 ** 64
    return digest % 2 ** 62


def table_file(text):
    """A table file holding `text` as its one copy, as appduck writes it."""
    header = b"appduck-table 1 1 %d %d\n" % (len(text), checksum(text))
    copy = header.ljust(128, b"\0") + text
    return copy.ljust(COPY, b"\0") + b"\0" * COPY


class TableRefusals(sound_world.OnePlayerTestCase):
    """A shared table appduck cannot use is refused out loud, and only what
    it may replace is replaced."""

    def table_path(self):
        socket_path = self.server.env["PULSE_SERVER"][len("unix:"):]
        status = os.stat(socket_path)
        directory = os.path.join(self.server.dir, "appduck")
        os.makedirs(directory, mode=0o700, exist_ok=True)
        return os.path.join(directory, "socket-%d-%d.table" % (status.st_dev, status.st_ino))

    def duck_and_restore(self):
        done = subprocess.run([sound_world.APPDUCK], env=dict(self.server.env, APPDUCK_DEBUG="1"),
                              input=b"duck 20 player\nrestore\n", capture_output=True,
                              timeout=30)
        self.assertEqual(done.stdout, b'{"ok":true,"bajados":1}\n{"ok":true}\n{"ok":true}\n')
        return done.stderr.decode()

    def test_garbage_and_a_link_are_replaced_a_newer_table_is_left_alone(self):
        path = self.table_path()
        with open(path, "wb") as garbage:
            garbage.write(os.urandom(2 * COPY))
        self.assertIn("holds no whole table of holds: it is replaced", self.duck_and_restore())
        with open(path, "rb") as table:
            self.assertIn(b"appduck-holds 3\n", table.read())

        os.remove(path)
        elsewhere = os.path.join(self.server.dir, "elsewhere")
        with open(elsewhere, "wb") as target:
            target.write(b"not ours")
        os.symlink(elsewhere, path)
        self.assertIn("is no table of ours: replaced", self.duck_and_restore())
        self.assertFalse(os.path.islink(path))
        with open(elsewhere, "rb") as target:
            self.assertEqual(target.read(), b"not ours")

        newer = table_file(b"appduck-holds 4\nsomething only a newer appduck knows\n")
        with open(path, "wb") as table:
            table.write(newer)
        self.assertIn("a newer appduck's: its originals are used and it is left as it is",
                      self.duck_and_restore())
        with open(path, "rb") as table:
            self.assertEqual(table.read(), newer)


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

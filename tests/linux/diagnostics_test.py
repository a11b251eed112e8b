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
        self.assertEqual(errors, "appduck: connected to the sound server at %s\n"
                                 % self.server.env["PULSE_SERVER"])

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
            self.assertEqual(errors, "appduck: connecting to the sound server at %s failed: %s\n"
                             % (server, why) * 3)


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

"""The controller examples, run as a user would, against the Linux appduck
on a private sound server with one player: what they print, and the
player's volume while their command runs and after.

usage: examples_test.py path/to/appduck [unittest arguments]
"""
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "linux"))
import sound_world  # noqa: E402

APPDUCK = None
# While ducked, the command prints the player's volume as the server has it.
SHOW_VOLUME = ("import subprocess;"
               "out = subprocess.run(['pactl', 'list', 'sink-inputs'], capture_output=True,"
               " text=True).stdout;"
               "line = [l for l in out.splitlines() if l.strip().startswith('Volume:')][0];"
               "print('volume %.3f' % ((int(line.split(':')[2].split('/')[0]) / 65536) ** 3))")


class Examples(sound_world.OnePlayerTestCase):
    def run_example(self, interpreter, script, *args):
        return subprocess.run([interpreter, os.path.join(ROOT, "examples", script)] + list(args),
                              env=self.server.env, capture_output=True, text=True, timeout=60)

    def volume(self):
        return self.server.sink_inputs()["player"][0]

    def check_ducks_while_the_command_runs(self, interpreter, script):
        done = self.run_example(interpreter, script, "--appduck", APPDUCK, "--percent", "20",
                                "player;chat*", "--", sys.executable, "-c", SHOW_VOLUME)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "appduck: ducked player;chat* to 20 %\n"
                                      "volume 0.200\n"
                                      "appduck: restored\n")
        self.assertAlmostEqual(self.volume(), 1.0, places=3)

    def check_nothing_matched(self, interpreter, script):
        done = self.run_example(interpreter, script, "--appduck", APPDUCK, "nobody",
                                "--", sys.executable, "-c", SHOW_VOLUME)
        self.assertEqual(done.stdout, "appduck: nothing playing matches nobody\n"
                                      "volume 1.000\n"
                                      "appduck: restored\n")

    def check_dead_appduck(self, interpreter, script):
        # An appduck that is not there, and one that ends at once: the command
        # still runs and its exit status comes back.
        for appduck in (os.path.join(self.workdir, "missing"), "/bin/true"):
            done = self.run_example(interpreter, script, "--appduck", appduck, "player",
                                    "--", sys.executable, "-c", "raise SystemExit(3)")
            self.assertEqual(done.returncode, 3, (appduck, done.stderr))
            self.assertEqual(done.stdout, "")
            self.assertIn("appduck: not running; going on without ducking", done.stderr)

    def check_bad_percentage(self, interpreter, script):
        # appduck would read "abc" as 0 and mute the player: the example
        # refuses it before starting appduck or the command.
        for percent in ("abc", "20.5", ""):
            done = self.run_example(interpreter, script, "--appduck", APPDUCK, "--percent", percent,
                                    "player", "--", sys.executable, "-c", "print('ran')")
            self.assertEqual(done.returncode, 2, (percent, done.stderr))
            self.assertEqual(done.stdout, "")
            self.assertIn("usage", done.stderr)
            self.assertAlmostEqual(self.volume(), 1.0, places=3)

    def test_python(self):
        self.check_ducks_while_the_command_runs(sys.executable, "python/duck_while.py")
        self.check_nothing_matched(sys.executable, "python/duck_while.py")
        self.check_dead_appduck(sys.executable, "python/duck_while.py")
        self.check_bad_percentage(sys.executable, "python/duck_while.py")

    def test_node(self):
        self.check_ducks_while_the_command_runs("node", "node/duck_while.js")
        self.check_nothing_matched("node", "node/duck_while.js")
        self.check_dead_appduck("node", "node/duck_while.js")
        self.check_bad_percentage("node", "node/duck_while.js")


if __name__ == "__main__":
    APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

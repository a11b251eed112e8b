"""Several appducks on one sound server, as a dictation tool and a screen
reader each start one: the deepest duck wins, each restore lifts only its
own, and an appduck that ends (quit, end of input, SIGKILL) counts as its
restore. Two private servers never share.

usage: controllers_test.py path/to/appduck [unittest arguments]
"""
import os
import sys
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

DUCKED = '{"ok":true,"bajados":1}\n'
OK = '{"ok":true}\n'


class SeveralControllers(sound_world.SoundTestCase):

    def setUp(self):
        super().setUp()
        self.others = []

    def tearDown(self):
        for other in self.others:
            other.kill()
        super().tearDown()

    def another(self):
        other = sound_world.Appduck(self.server)
        self.others.append(other)
        return other

    def assertPlayerAt(self, level, seconds=2):
        """The player's level, once the keeper or a ramp has had its time."""
        try:
            sound_world.wait_until(
                lambda: abs(self.server.sink_inputs()["player"][0] - level) < 0.001, seconds,
                "the player at %.2f" % level)
        except RuntimeError:
            self.assertAlmostEqual(self.server.sink_inputs()["player"][0], level, delta=0.001)

    def test_the_deepest_duck_wins_and_each_restore_lifts_only_its_own(self):
        for first, second in ((50, 20), (20, 50)):
            a, b = self.appduck if first == 50 else self.another(), self.another()
            self.assertEqual(a.ask("duck %d player" % first), DUCKED)
            self.assertEqual(b.ask("duck %d player" % second), DUCKED)
            self.assertPlayerAt(0.2, 0)
            self.assertEqual(a.ask("restore"), OK)
            self.assertPlayerAt(second / 100, 0)
            self.assertEqual(b.ask("restore"), OK)
            self.assertPlayerAt(1.0, 0)

    def test_an_appduck_that_ends_counts_as_its_restore(self):
        # Three: quit, end of input, and SIGKILL (its keeper restores).
        a, b, c = self.appduck, self.another(), self.another()
        self.assertEqual(a.ask("duck 20 player"), DUCKED)
        self.assertEqual(b.ask("duck 50 player"), DUCKED)
        self.assertEqual(c.ask("duck 80 player"), DUCKED)
        self.assertPlayerAt(0.2, 0)
        a.process.kill()
        self.assertPlayerAt(0.5)
        self.assertEqual(b.ask("quit"), OK)
        self.assertPlayerAt(0.8, 0)
        c.close_input()
        c.finish()
        self.assertPlayerAt(1.0, 0)

    def test_both_killed_leave_nothing_quiet_and_nothing_running(self):
        a, b = self.appduck, self.another()
        self.assertEqual(a.ask("duck 50 player"), DUCKED)
        self.assertEqual(b.ask("duck 20 player"), DUCKED)
        a.process.kill()
        b.process.kill()
        self.assertPlayerAt(1.0)
        sound_world.wait_for_no_appduck(self.server)

    def test_two_private_servers_do_not_share(self):
        # One runtime directory, two servers: each appduck ducks its own
        # server's player as if alone.
        other = sound_world.SoundServer()
        other.start()
        try:
            player = sound_world.Player(other, other.dir, "player", 1000)
            b = sound_world.Appduck(types.SimpleNamespace(
                env=dict(other.env, XDG_RUNTIME_DIR=self.server.env["XDG_RUNTIME_DIR"])))
            self.others.append(b)
            self.assertEqual(self.appduck.ask("duck 50 player"), DUCKED)
            self.assertEqual(b.ask("duck 20 player"), DUCKED)
            self.assertPlayerAt(0.5, 0)
            self.assertAlmostEqual(other.sink_inputs()["player"][0], 0.2, delta=0.001)
            self.assertEqual(b.ask("restore"), OK)
            self.assertPlayerAt(0.5, 0)
            tables = [name for name in os.listdir(os.path.join(self.server.env["XDG_RUNTIME_DIR"],
                                                               "appduck"))
                      if name.endswith(".table")]
            self.assertEqual(len(tables), 2, tables)
            b.close_input()
            b.finish()
            player.stop()
        finally:
            other.cleanup()


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

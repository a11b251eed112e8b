"""Several appducks on one sound server, as a dictation tool and a screen
reader each start one: the deepest duck wins, each restore lifts only its
own, and an appduck that ends (quit, end of input, SIGKILL) counts as its
restore. Two private servers never share.

usage: controllers_test.py path/to/appduck [unittest arguments]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

DUCKED = '{"ok":true,"bajados":1}\n'
OK = '{"ok":true}\n'
CLIENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "clients", "python")

# A controller with a voice of its own: a child that keeps a stream open
# from before the spare, and one started after it. Each step waits for a
# line from the test.
OWN_VOICE = r"""
import subprocess, sys
sys.path.insert(0, sys.argv[1])
import appduck
early, late = sys.argv[2], sys.argv[3]
voices = [subprocess.Popen([early, "1", "-", "2"])]
input()
client = appduck.Appduck()
client.spare()
voices.append(subprocess.Popen([late, "1", "-", "2"]))
input()
print(client.duck(20, "*"), flush=True)
input()
client.close()
for voice in voices:
    voice.kill()
    voice.wait()
"""


class SeveralControllers(sound_world.SoundTestCase):

    def setUp(self):
        super().setUp()
        self.others = []

    def tearDown(self):
        for other in self.others:
            other.kill()
        super().tearDown()

    def another(self, env=None):
        other = sound_world.Appduck(self.server, env=env)
        self.others.append(other)
        return other

    def assertPlayerOwn(self):
        """Once every appduck has ended: the player at its own raw level."""
        if self.appduck.process.poll() is None:
            self.end(self.appduck)
        sound_world.wait_for_no_appduck(self.server)
        self.assertEqual(list(self.server.raw_volumes("player").values()), [[65536]])

    def end(self, *appducks):
        for appduck in appducks:
            appduck.close_input()
            self.assertEqual(appduck.finish(20), (OK, 0))

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

    def test_ducks_sent_together_queue_behind_each_others_ramps(self):
        # Five at the same moment, then six 50 ms apart, each deeper: each
        # waits for the turn, none takes another's ramp for an original.
        controllers = [self.appduck] + [self.another() for _ in range(4)]
        for appduck, percent in zip(controllers, (80, 60, 40, 30, 20)):
            appduck.send("duck %d player" % percent)
        for appduck in controllers:
            self.assertEqual(appduck.reply(20), DUCKED)
        self.assertPlayerAt(0.2, 0)
        self.end(*controllers)
        self.assertPlayerOwn()
        controllers = [self.another() for _ in range(6)]
        for appduck, percent in zip(controllers, (70, 60, 50, 40, 30, 20)):
            appduck.send("duck %d player" % percent)
            time.sleep(0.05)
        for appduck in controllers:
            self.assertEqual(appduck.reply(20), DUCKED)
        self.assertPlayerAt(0.2, 0)
        for appduck, below in zip(reversed(controllers), (0.3, 0.4, 0.5, 0.6, 0.7, 1.0)):
            self.assertEqual(appduck.ask("restore"), OK)
            self.assertPlayerAt(below, 0)
        self.end(*controllers)
        self.assertPlayerOwn()

    def test_a_holder_stopped_in_its_ramp_loses_no_level(self):
        # A stops while it has the turn, its ramp half done; B waits its
        # patience, then ducks without the turn from A's original.
        a, b = self.appduck, self.another()
        a.send("duck 20 player")
        time.sleep(0.12)
        a.process.send_signal(signal.SIGSTOP)
        try:
            started = time.monotonic()
            b.send("duck 50 player")
            self.assertEqual(b.reply(20), DUCKED)
            waited = time.monotonic() - started
        finally:
            a.process.send_signal(signal.SIGCONT)
        self.assertGreater(waited, 9)
        self.assertEqual(a.reply(), DUCKED)
        self.assertPlayerAt(0.2, 0)
        self.assertEqual(b.ask("restore"), OK)
        self.assertPlayerAt(0.2, 0)
        self.assertEqual(a.ask("restore"), OK)
        self.assertPlayerAt(1.0, 0)
        self.end(a, b)
        self.assertPlayerOwn()

    def test_a_restore_made_while_a_stopped_holder_keeps_the_turn_loses_no_level(self):
        # A at 20 and B at 50; C's duck to 80 is stopped holding the turn.
        # A's restore goes on without the turn after 10 s, to B's 50; C,
        # continued, ends its ramp at A's 20 and writes back the table it
        # read, A's hold in it. A's release is written at its next turn,
        # its end: once all three are gone, the player is its own again.
        a, b, c = self.appduck, self.another(), self.another()
        self.assertEqual(a.ask("duck 20 player"), DUCKED)
        self.assertEqual(b.ask("duck 50 player"), DUCKED)
        c.send("duck 80 player")
        time.sleep(0.1)
        c.process.send_signal(signal.SIGSTOP)
        try:
            self.assertEqual(a.ask_within("restore", 20), OK)
            self.assertPlayerAt(0.5, 0)
        finally:
            c.process.send_signal(signal.SIGCONT)
        self.assertEqual(c.reply(), DUCKED)
        self.assertEqual(b.ask("restore"), OK)
        self.assertEqual(c.ask("restore"), OK)
        self.end(a, b, c)
        self.assertPlayerOwn()

    def test_a_fresh_restore_lifts_what_a_controller_killed_with_its_keeper_held(self):
        self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
        for pid in sound_world.appduck_processes(self.server):
            os.kill(pid, signal.SIGKILL)
        sound_world.wait_for_no_appduck(self.server)
        self.assertPlayerAt(0.2, 0)
        fresh = self.another()
        self.assertEqual(fresh.ask("restore"), OK)
        self.assertPlayerAt(1.0, 0)
        self.end(fresh)
        self.assertPlayerOwn()

    def test_without_a_runtime_directory_controllers_still_share(self):
        # A root shell, sudo, ssh without a login manager: no
        # XDG_RUNTIME_DIR. A private TMPDIR keeps the test's table its own.
        temporary = tempfile.mkdtemp(prefix="appduck-tmp.")
        self.addCleanup(shutil.rmtree, temporary, True)
        env = {name: value for name, value in self.server.env.items()
               if name != "XDG_RUNTIME_DIR"}
        env["TMPDIR"] = temporary
        self.addCleanup(self.remove_system_runtime_table)
        a, b = self.another(env), self.another(env)
        for _ in range(5):
            self.assertEqual(a.ask("duck 50 player"), DUCKED)
            self.assertEqual(b.ask("duck 20 player"), DUCKED)
            self.assertPlayerAt(0.2, 0)
            self.assertEqual(b.ask("restore"), OK)
            self.assertPlayerAt(0.5, 0)
            self.assertEqual(a.ask("restore"), OK)
            self.assertPlayerAt(1.0, 0)
        self.end(a, b)
        self.assertPlayerOwn()

    def remove_system_runtime_table(self):
        """Where the system keeps this user's runtime directory, the table
        of this test's server is the test's to remove."""
        socket = os.stat(self.server.env["PULSE_SERVER"][len("unix:"):])
        table = "/run/user/%d/appduck/socket-%d-%d.table" % (os.getuid(), socket.st_dev,
                                                              socket.st_ino)
        if os.path.exists(table):
            os.remove(table)

    def test_a_full_runtime_directory_loses_no_level(self):
        runtime = tempfile.mkdtemp(prefix="appduck-full.")
        self.addCleanup(shutil.rmtree, runtime, True)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0700", "tmpfs", runtime],
                          capture_output=True).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.run, ["umount", "-l", runtime])
        env = dict(self.server.env, XDG_RUNTIME_DIR=runtime)
        a, b = self.another(env), self.another(env)
        self.assertEqual(a.ask("duck 50 player"), DUCKED)
        # Full: not a byte more for anyone.
        subprocess.run(["dd", "if=/dev/zero", "of=%s/fill" % runtime, "bs=64k"],
                       capture_output=True)
        self.assertEqual(os.statvfs(runtime).f_bavail, 0)
        self.assertEqual(b.ask("duck 20 player"), DUCKED)
        self.assertPlayerAt(0.2, 0)
        self.assertEqual(a.ask("restore"), OK)
        self.assertPlayerAt(0.2, 0)
        c = self.another(env)
        self.assertEqual(c.ask("duck 30 player"), DUCKED)
        self.assertEqual(b.ask("restore"), OK)
        self.assertPlayerAt(0.3, 0)
        self.end(a, b, c)
        self.assertPlayerOwn()

    def test_a_server_stall_between_two_controllers_loses_no_level(self):
        # A restores while the server stops for 3 s; B's duck waits for A's
        # turn, and meets the server back or still stopped: a duck that
        # reaches no server lowers nothing (bajados 0). Either way nothing
        # is lost.
        a, b = self.appduck, self.another()
        self.assertEqual(a.ask("duck 20 player"), DUCKED)
        group = self.server.process.pid
        a.send("restore")
        os.killpg(group, signal.SIGSTOP)
        resume = threading.Timer(3, os.killpg, (group, signal.SIGCONT))
        resume.start()
        self.addCleanup(resume.join)
        b.send("duck 50 player")
        self.assertEqual(a.reply(30), OK)
        ducked = b.reply(30)
        self.assertIn(ducked, (DUCKED, '{"ok":true,"bajados":0}\n'))
        self.assertPlayerAt(0.5 if ducked == DUCKED else 1.0)
        self.end(a, b)
        self.assertPlayerOwn()

    def test_spare_leaves_the_controllers_own_voice_up(self):
        voices = tempfile.mkdtemp(prefix="appduck-voices.")
        self.addCleanup(shutil.rmtree, voices, True)
        for name in ("voice", "later-voice"):
            shutil.copy(os.environ["APPDUCK_STREAM_POOL"], os.path.join(voices, name))
        env = dict(self.server.env, APPDUCK=sound_world.APPDUCK)
        controller = subprocess.Popen(
            [sys.executable, "-c", OWN_VOICE, CLIENTS, os.path.join(voices, "voice"),
             os.path.join(voices, "later-voice")],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(controller.wait)
        self.addCleanup(controller.kill)

        def step():
            controller.stdin.write("\n")
            controller.stdin.flush()
        playing = lambda name: name in self.server.sink_inputs()
        sound_world.wait_until(lambda: playing("voice"), sound_world.BUSY_WAIT, "the early voice")
        step()
        sound_world.wait_until(lambda: playing("later-voice"), sound_world.BUSY_WAIT, "the later voice")
        step()
        self.assertEqual(controller.stdout.readline(), "1\n")
        levels = self.server.sink_inputs()
        self.assertAlmostEqual(levels["player"][0], 0.2, delta=0.001)
        self.assertEqual(levels["voice"], [1.0, 1.0])
        self.assertEqual(levels["later-voice"], [1.0, 1.0])
        step()
        controller.stdin.close()
        self.assertEqual(controller.wait(20), 0)
        controller.stdout.close()
        self.assertPlayerOwn()

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

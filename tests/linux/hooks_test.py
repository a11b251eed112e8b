"""appduck from hooks that run one command per event, with real sound: the
README's recipes as printed (a satellite's start and stop hooks around
spoken sentences, a push-to-talk key, overlapping named holds, `run`), a
stop event that never comes, a hold's process ending, its resident killed,
`run`'s status and signals, and bad input. Each case ends with no appduck
left and the music at its own level, exactly.

usage: hooks_test.py appduck [unittest arguments]
"""
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import sound_world

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
OWN = [45875, 45875]
SENTENCES = ["The weather today is mild.", "Rain comes in the evening.", "That is all."]


def recipe(name):
    """The README's hook recipe of that name, as printed: its lines."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        blocks = re.findall(r"```sh\n(.*?)```", readme.read(), re.S)
    found = [code for code in blocks if "# hook recipe: %s\n" % name in code]
    assert len(found) == 1, "one %s recipe in the README" % name
    return found[0]


def hook_option(text, option):
    """The command a satellite is given with the option, unquoted."""
    return shlex.split(re.search(r"%s ('[^']*')" % option, text).group(1))[0]


class Hooks(sound_world.RawLevelsTestCase):

    def setUp(self):
        super().setUp()
        self.finish(self.appduck)  # this suite's appducks are hooks'
        self.bin = os.path.join(self.workdir, "bin")
        os.mkdir(self.bin)
        os.symlink(sound_world.APPDUCK, os.path.join(self.bin, "appduck"))
        self.env = dict(self.server.env, PATH=self.bin + os.pathsep + self.server.env["PATH"])
        _, (self.music,) = self.start("mpv")
        self.set_raw(self.music, OWN)

    def tearDown(self):
        try:
            sound_world.wait_for_no_appduck(self.server, 10)
            self.assertEqual(self.raw("mpv", [self.music]), [OWN], "the music back exactly")
        finally:
            if sound_world.appduck_processes(self.server):
                self.hook("appduck restore --all")  # a test that failed holding
            for pid in sound_world.appduck_processes(self.server):
                os.kill(pid, signal.SIGKILL)
            super().tearDown()

    def hook(self, command, **options):
        """One event's command, run as a hook runner does: to its end."""
        return subprocess.run(command, shell=True, env=self.env, capture_output=True, text=True,
                              timeout=30, **options)

    def share(self):
        (left, _), = self.raw("mpv", [self.music])
        return sound_world.linear(left) / sound_world.linear(OWN[0])

    def assertShare(self, share, what):
        # The duck's reply comes with the ramp done; --no-wait's does not.
        sound_world.wait_until(lambda: abs(self.share() - share) < 0.002, 5, what)

    def speak_sampled(self, commands):
        """Runs the commands one after another, sampling the music's share
        and every espeak stream's level meanwhile."""
        samples = []
        done = threading.Event()

        def sample():
            while not done.is_set():
                streams = self.server.streams()
                music = [max(levels) for name, levels in streams if name == "mpv"]
                # A new PipeWire stream reports 0 for its first moment.
                speech = [max(levels) for name, levels in streams
                          if name.startswith("espeak") and max(levels) > 0]
                samples.append((music[0] if music else None, speech))
                time.sleep(0.03)
        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            for command in commands:
                self.assertEqual(self.hook(command).returncode, 0, command)
        finally:
            done.set()
            sampler.join()
        return samples

    # -- the README's recipes, as printed -----------------------------------

    def test_a_satellites_start_and_stop_hooks_around_three_sentences(self):
        text = recipe("satellite")
        start = hook_option(text, "--tts-start-command")
        stop = hook_option(text, "--tts-played-command")
        own = sound_world.linear(OWN[0])
        samples = self.speak_sampled(
            [start] + ["espeak-ng %s" % shlex.quote(s) for s in SENTENCES])
        spoken = [i for i, (_, speech) in enumerate(samples) if speech]
        self.assertTrue(spoken, "it spoke")
        down = [i for i, (music, _) in enumerate(samples) if abs(music - 0.2 * own) < 0.002]
        self.assertTrue(down and down[0] <= spoken[-1], "the music dips while it speaks")
        for music, _ in samples[down[0]:spoken[-1] + 1]:
            self.assertAlmostEqual(music, 0.2 * own, delta=0.002, msg="down through the speech")
        for _, speech in samples:
            for level in speech:
                self.assertAlmostEqual(level, 1.0, delta=0.001, msg="the voice never lowered")
        self.assertEqual(self.hook(stop).stdout, '{"ok":true}\n')
        self.assertEqual(self.raw("mpv", [self.music]), [OWN])

    def test_a_push_to_talk_key(self):
        press, release = [line for line in recipe("push-to-talk").splitlines()
                          if line.startswith("appduck")]
        self.assertEqual(self.hook(press).stdout, '{"ok":true,"bajados":1}\n')
        self.assertShare(0.1, "the music at 10 % while the key is down")
        self.assertEqual(self.hook(release).stdout, '{"ok":true}\n')
        self.assertEqual(self.raw("mpv", [self.music]), [OWN])

    def test_overlapping_holds_the_deepest_wins_and_each_restore_lifts_its_own(self):
        lines = [line for line in recipe("overlapping").splitlines() if line.startswith("appduck")]
        for line, share in zip(lines, (0.5, 0.2, 0.5, 1.0)):
            self.assertEqual(self.hook(line).returncode, 0, line)
            self.assertShare(share, "%.1f after %s" % (share, line))
        self.assertEqual(self.raw("mpv", [self.music]), [OWN])

    def test_run_ducks_while_its_command_speaks(self):
        line, = [line for line in recipe("run").splitlines() if line.startswith("appduck")]
        samples = self.speak_sampled([line])
        own = sound_world.linear(OWN[0])
        self.assertTrue(any(abs(music - 0.2 * own) < 0.002 for music, speech in samples if speech),
                        "down while it speaks")
        for _, speech in samples:
            for level in speech:
                self.assertAlmostEqual(level, 1.0, delta=0.001, msg="its own voice never lowered")

    # -- holds that end by themselves ---------------------------------------

    def test_a_stop_event_that_never_comes_ends_at_the_holds_bound(self):
        self.assertEqual(self.hook("appduck duck --for 1.5 20 mpv").returncode, 0)
        self.assertShare(0.2, "ducked")
        time.sleep(1.0)
        self.assertShare(0.2, "still held before its bound")
        sound_world.wait_until(lambda: self.raw("mpv", [self.music]) == [OWN], 3,
                               "the music back at the bound")

    def test_a_hold_while_a_process_runs_ends_with_it(self):
        sleeper = subprocess.Popen(["sleep", "30"])
        try:
            self.assertEqual(self.hook("appduck duck --while %d 20 mpv" % sleeper.pid).returncode, 0)
            self.assertShare(0.2, "ducked while it runs")
        finally:
            sleeper.kill()
            sleeper.wait()
        sound_world.wait_until(lambda: self.raw("mpv", [self.music]) == [OWN], 3,
                               "the music back once the process ended")

    def test_a_residents_kill_is_restored_by_its_keeper(self):
        self.assertEqual(self.hook("appduck duck --as killed 20 mpv").returncode, 0)
        for pid in sound_world.appduck_processes(self.server):
            with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                if b"--resident" in cmdline.read():
                    os.kill(pid, signal.SIGKILL)
        sound_world.wait_until(lambda: self.raw("mpv", [self.music]) == [OWN], 5,
                               "the keeper's restore")
        # The dead resident's socket is still there: the next one replaces it.
        self.assertEqual(self.hook("appduck duck --as killed 20 mpv").stdout,
                         '{"ok":true,"bajados":1}\n')
        self.assertEqual(self.hook("appduck restore --as killed").stdout, '{"ok":true}\n')

    def test_a_second_duck_renews_the_hold_and_does_not_compound(self):
        self.assertEqual(self.hook("appduck duck --for 2 50 mpv").returncode, 0)
        time.sleep(1.2)
        self.assertEqual(self.hook("appduck duck --for 2 50 mpv").returncode, 0)
        time.sleep(1.2)
        self.assertShare(0.5, "half, not a quarter, and still held past the first bound")
        status = self.hook("appduck status").stdout.splitlines()
        self.assertEqual(len(status), 1, status)
        self.assertRegex(status[0], r'^\{"name":"default","pid":\d+,"exe":"appduck",'
                                    r'"held":\[\{"name":"mpv","pid":\d+,"percent":50\}\],'
                                    r'"left_s":[12]\}$')
        self.assertEqual(self.hook("appduck restore --all").stdout, '{"ok":true}\n')
        self.assertEqual(self.hook("appduck status").stdout, "")

    # -- run -----------------------------------------------------------------

    def test_run_passes_its_commands_status_and_a_signal_through(self):
        self.assertEqual(self.hook("appduck run 20 mpv -- sh -c 'exit 3'").returncode, 3)
        self.assertEqual(self.raw("mpv", [self.music]), [OWN])
        # Named, its hold is seen in status for as long as the command runs.
        runner, command = self.start_run("speaking", "trap 'echo got TERM; exit 9' TERM")
        held, = [json.loads(line) for line in self.hook("appduck status").stdout.splitlines()]
        self.assertEqual((held["name"], held["pid"], held["while"], held["held"][0]["percent"]),
                         ("speaking", runner.pid, command, 20))
        runner.send_signal(signal.SIGTERM)
        output, _ = runner.communicate(timeout=10)
        self.assertEqual((runner.returncode, output), (9, "got TERM\n"))

    def test_a_named_runs_restore_lifts_its_duck_while_the_command_goes_on(self):
        runner, _ = self.start_run("early", ":")
        self.assertEqual(self.hook("appduck restore --as early").stdout, '{"ok":true}\n')
        self.assertEqual(self.raw("mpv", [self.music]), [OWN])
        self.assertIsNone(runner.poll(), "the command still runs")
        open(os.path.join(self.workdir, "done"), "w").close()
        self.assertEqual(runner.communicate(timeout=10), ("", None))
        self.assertEqual(runner.returncode, 4)
        # A name a resident keeps: the run ducks unnamed, and says so.
        self.assertEqual(self.hook("appduck duck --as early 50 mpv").returncode, 0)
        done = self.hook("APPDUCK_DEBUG= appduck run --as early 20 mpv -- sh -c 'exit 6'")
        self.assertEqual((done.returncode, done.stderr), (6, "appduck: the hold early is kept by "
                         "another appduck: this run's duck goes on without its name\n"))
        self.assertShare(0.5, "the resident's hold stands after the run")
        self.assertEqual(self.hook("appduck restore --as early").stdout, '{"ok":true}\n')

    def start_run(self, name, trap):
        """`run --as name` of a command that waits for a file "done", then
        exits 4; returns the runner and the command's process id once the
        duck holds."""
        started = os.path.join(self.workdir, "started")
        runner = subprocess.Popen(
            ["appduck", "run", "--as", name, "20", "mpv", "--", "sh", "-c",
             "%s; echo $$ > %s; while [ ! -e done ]; do sleep 0.05; done; exit 4" % (trap, started)],
            env=self.env, cwd=self.workdir, stdout=subprocess.PIPE, text=True)
        sound_world.wait_until(lambda: os.path.exists(started) and os.path.getsize(started), 5,
                               "the command's start")
        self.assertShare(0.2, "ducked while it runs")
        with open(started) as pid:
            return runner, int(pid.read())

    # -- bad input -----------------------------------------------------------

    def test_bad_input_is_said_and_changes_nothing(self):
        for command, status in [("appduck duck --loud 20 mpv", 2),
                                ("appduck run 20 mpv espeak-ng hi", 2),
                                ("appduck duck --as a/b 20 mpv", 2),
                                ("appduck duck --as .. 20 mpv", 2),
                                ("appduck duck --as %s 20 mpv" % ("x" * 300), 2),
                                ("appduck duck abc mpv", 2),
                                ("appduck duck --while 999999999 20 mpv", 1),
                                ("PULSE_SERVER=unix:/nowhere/native appduck duck 20 mpv", 1)]:
            with self.subTest(command=command):
                # One line, whatever APPDUCK_TEST_DEBUG_DIR asks of the rest.
                done = self.hook("APPDUCK_DEBUG= " + command)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertRegex(done.stderr, r"^appduck: [^\n]+\n$")
                self.assertEqual(self.raw("mpv", [self.music]), [OWN])
                self.assertEqual(sound_world.appduck_processes(self.server), [])

    def test_a_hold_another_user_listens_on_or_none_can_have_is_not_used(self):
        self.hook("appduck duck --as probe 100 nothing-plays-this")  # makes the shared place
        self.hook("appduck restore --as probe")
        place = subprocess.run(["sh", "-c", "ls -d \"$XDG_RUNTIME_DIR\"/appduck"], env=self.env,
                               capture_output=True, text=True).stdout.strip()
        table = [name for name in os.listdir(place) if name.endswith(".table")][0]
        path = os.path.join(place, table[:-len(".table")] + "-hold-theirs")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        pid = os.fork()
        if pid == 0:  # listens as nobody: the peer another user's
            try:
                os.setuid(65534)
                listener.listen(1)
                time.sleep(30)
            finally:
                os._exit(0)
        try:
            time.sleep(0.2)
            done = self.hook("appduck duck --as theirs 20 mpv")
            self.assertEqual(done.returncode, 1)
            self.assertIn("another user", done.stderr)
            self.assertEqual(self.raw("mpv", [self.music]), [OWN])
        finally:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            listener.close()
            os.unlink(path)
        # A name whose lock cannot be opened: a run ducks unnamed, says so,
        # and its command still sees its duck.
        os.mkdir(path + ".lock")
        try:
            done = self.hook("APPDUCK_DEBUG= appduck run --as theirs 20 mpv -- "
                             "sh -c 'appduck status; exit 6'")
        finally:
            os.rmdir(path + ".lock")
        self.assertEqual((done.returncode, done.stderr), (6, "appduck: the hold theirs has no "
                         "channel here: this run's duck goes on without its name\n"))
        held, = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual((held.get("name"), held["held"][0]["percent"]), (None, 20))


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

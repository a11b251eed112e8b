"""What appduck promises beyond its replies, on a real server with the
server's stream memory (PulseAudio's module-stream-restore; WirePlumber's
stream state on PipeWire): nothing stays ducked when appduck is killed, a
reply means the server has every level, a stream that ended while ducked
comes back at its own volume, and a server stall loses nothing.

usage: guarantees_test.py path/to/appduck [unittest arguments]
(APPDUCK_STREAM_POOL names the many-streams client)
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

DUCKED = '{"ok":true,"bajados":1}\n'
OK = '{"ok":true}\n'


def process_state(pid):
    """The state letter of a process (Z: ended, not yet reaped), or None."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


class MemoryCase(sound_world.SoundTestCase):
    modules = ("module-stream-restore",)

    def stop_player(self, name):
        self.players[name].stop()
        sound_world.wait_until(lambda: name not in self.server.sink_inputs(), 10,
                               "the end of " + name)

    def start_player(self, name):
        """Starts the player's next stream; returns the volume it starts at."""
        old = self.players[name]
        self.players[name] = sound_world.Player(self.server, self.workdir, name, old.frequency)
        return self.server.sink_inputs()[name][0]


class Keeper(MemoryCase):
    """appduck killed with SIGKILL: its keeper restores what it ducked."""

    def kill_and_check(self):
        killed = time.monotonic()
        self.appduck.process.kill()
        # The keeper holds none of appduck's descriptors: the controller's
        # read ends the moment appduck dies.
        output = self.appduck.process.stdout.fileno()
        ready, _, _ = select.select([output], [], [], 1)
        self.assertTrue(ready and os.read(output, 4096) == b"", "appduck's output did not end")
        self.assertLess(time.monotonic() - killed, 0.1)
        self.appduck.process.wait()
        sound_world.wait_until(lambda: abs(self.server.sink_inputs()["player"][0] - 1.0) < 0.001,
                               1, "the keeper's restore")
        print("\nkeeper: the player is back at its own volume %.0f ms after the kill"
              % ((time.monotonic() - killed) * 1000), file=sys.stderr)
        self.assertRestored()
        sound_world.wait_for_no_appduck(self.server)
        # What the server remembers is the application's own volume again.
        self.stop_player("player")
        self.assertAlmostEqual(self.start_player("player"), 1.0, delta=0.001)

    def test_sigkill_after_a_finished_duck(self):
        self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
        self.assertRatios({"player": 0.2})
        self.kill_and_check()

    def test_sigkill_in_the_middle_of_a_ramp(self):
        self.appduck.send("duck 20 player")
        time.sleep(0.15)
        self.kill_and_check()

    def test_a_keeper_killed_meanwhile_is_reaped_and_replaced_before_the_next_duck(self):
        self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
        keeper, = [pid for pid in sound_world.appduck_processes(self.server)
                   if pid != self.appduck.process.pid]
        os.kill(keeper, signal.SIGKILL)
        sound_world.wait_until(lambda: process_state(keeper) in ("Z", None), 5, "the keeper's end")
        # This duck saves nothing new: only a look at the keeper finds it dead.
        self.assertEqual(self.appduck.ask("duck 50 player"), DUCKED)
        self.assertFalse(os.path.exists("/proc/%d" % keeper), "the dead keeper is a zombie")
        self.kill_and_check()

    def test_a_clean_end_leaves_no_process_and_touches_nothing_after(self):
        ends = {"quit": lambda: self.appduck.send("quit"),
                "end of input": lambda: self.appduck.close_input(),
                "SIGTERM": lambda: self.appduck.process.send_signal(signal.SIGTERM)}
        for what, end in ends.items():
            with self.subTest(end=what):
                self.appduck.kill()
                self.appduck = sound_world.Appduck(self.server)
                self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
                end()
                self.assertEqual(self.appduck.finish(), (OK, 0))
                sound_world.wait_for_no_appduck(self.server, 1)
                # A volume the user sets now is the user's: no keeper acts.
                index = self.server.sink_input_index("player")
                self.server.pactl("set-sink-input-volume", index, "0.5")
                time.sleep(1)
                self.assertAlmostEqual(self.server.sink_inputs()["player"][0], 0.5, delta=0.001)
                self.server.pactl("set-sink-input-volume", index, "1.0")


    def test_the_keeper_marker_alone_runs_the_normal_program(self):
        # Without the keeper's pipe, "--keeper" is an argument like any other:
        # ignored. (Descriptor 3 is closed here, as a shell leaves it.)
        done = subprocess.run([sound_world.APPDUCK, "--keeper"], env=self.server.env,
                              input=b"duck 100 player\nlist\n", capture_output=True, timeout=30)
        self.assertEqual(done.stdout.decode().splitlines()[0], '{"ok":true,"bajados":1}')
        self.assertEqual(done.stdout.decode().splitlines()[-1], '{"ok":true}')


class StreamEnds(MemoryCase):
    """A stream that ends while ducked: the server remembered it ducked."""

    def test_its_next_stream_starts_at_its_own_volume(self):
        self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
        self.stop_player("player")
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertAlmostEqual(self.start_player("player"), 1.0, delta=0.001)

    def test_a_stream_reopened_during_the_duck_comes_back_too(self):
        # A player that opens a stream per track: the new one starts at the
        # ducked volume the server remembered, and the restore brings it
        # back, now and in the server's memory.
        exe = os.path.join(self.workdir, "tracks")
        shutil.copy(os.environ["APPDUCK_STREAM_POOL"], exe)
        tracks = sound_world.start_client(lambda: subprocess.Popen([exe, "1"], env=self.server.env),
                                          lambda: "tracks" in self.server.sink_inputs(),
                                          "stream of tracks", self.server)
        self.addCleanup(tracks.wait)
        self.addCleanup(tracks.kill)
        self.assertEqual(self.appduck.ask("duck 20 tracks"), DUCKED)
        self.next_track(tracks)
        self.assertAlmostEqual(self.server.sink_inputs()["tracks"][0], 0.2, delta=0.001)
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertAlmostEqual(self.server.sink_inputs()["tracks"][0], 1.0, delta=0.001)
        self.next_track(tracks)
        self.assertAlmostEqual(self.server.sink_inputs()["tracks"][0], 1.0, delta=0.001)

    def next_track(self, tracks):
        """The new track's stream opens before the old one ends: waits until
        the new one plays alone."""
        old = self.server.sink_input_index("tracks")
        tracks.send_signal(signal.SIGUSR1)
        sound_world.wait_until(
            lambda: [name for name, _ in self.server.streams()].count("tracks") == 1
            and self.server.sink_input_index("tracks") != old, 10, "the next track")


class ServerStall(MemoryCase):
    """The server stops answering for 3 s while appduck restores."""

    def test_a_restore_that_meets_a_stall_replies_with_the_player_back(self):
        self.assertEqual(self.appduck.ask("duck 20 player"), DUCKED)
        self.assertRatios({"player": 0.2})
        group = self.server.process.pid
        os.killpg(group, signal.SIGSTOP)
        resume = threading.Timer(3, os.killpg, (group, signal.SIGCONT))
        resume.start()
        self.addCleanup(resume.join)
        stopped = time.monotonic()
        self.appduck.send("restore")
        self.assertEqual(self.appduck.reply(20), OK)
        print("\nstall: restore replied after %.1f s" % (time.monotonic() - stopped),
              file=sys.stderr)
        self.assertAlmostEqual(self.server.sink_inputs()["player"][0], 1.0, delta=0.001)
        self.appduck.close_input()
        self.assertEqual(self.appduck.finish(20), (OK, 0))
        # The recorder stalled with the server: listen afresh.
        self.recorder.stop()
        self.recorder = sound_world.Recorder(self.server)
        self.assertRatios({"player": 1.0})


class ManyStreams(unittest.TestCase):
    """190 streams in two clients on two sinks: every one of them is at its
    level the moment a reply comes."""

    @classmethod
    def setUpClass(cls):
        cls.server = sound_world.SoundServer()
        cls.workdir = tempfile.mkdtemp(prefix="appduck-pools.")
        cls.pools = []
        try:
            cls.start_pools()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_pools(cls):
        cls.server.start()
        cls.server.add_sink("second")
        # A PipeWire sink mixes at most 128 streams.
        split = (125, 65) if cls.server.flavour() == "pipewire" else (150, 40)
        pools = (("pool_a", split[0], "test"), ("pool_b", split[1], "second"))
        for name, _, _ in pools:
            shutil.copy(os.environ["APPDUCK_STREAM_POOL"], os.path.join(cls.workdir, name))

        def start():
            started = [subprocess.Popen([os.path.join(cls.workdir, name), str(count), sink],
                                        env=cls.server.env) for name, count, sink in pools]
            cls.pools.extend(started)
            return started
        # PipeWire lists a stream before WirePlumber has linked it to a sink.
        sound_world.start_client(start, lambda: cls.linked_streams() == 190,
                                 "190 streams on sinks", cls.server)
        # Now and then PipeWire starts many of them at volume 0 (82 of 190,
        # in 1 of 12 starts with both cores busy): every one begins at 1.0.
        for name in ("pool_a", "pool_b"):
            for index, volumes in cls.server.raw_volumes(name).items():
                if volumes != [65536]:
                    cls.server.pactl("set-sink-input-volume", str(index), "1.0")
        sound_world.wait_until(lambda: all(max(volumes) == 1.0 for _, volumes in cls.server.streams()),
                               10, "190 streams at 1.0")

    @classmethod
    def tearDownClass(cls):
        for pool in cls.pools:
            pool.kill()
            pool.wait()
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    @classmethod
    def linked_streams(cls):
        lines = cls.server.pactl("list", "short", "sink-inputs").splitlines()
        return sum(1 for line in lines if line.split()[1] != str(2 ** 32 - 1))

    def levels(self):
        return sorted(round(max(volumes), 3) for _, volumes in self.server.streams())

    def test_every_stream_is_at_its_level_when_the_reply_comes(self):
        # What appduck saw goes to a file, shown if the test fails.
        log = tempfile.TemporaryFile()
        self.addCleanup(log.close)
        appduck = sound_world.Appduck(self.server, debug_log=log)
        try:
            rounds = (("duck 20 pool_*", DUCKED, 0.2), ("restore", OK, 1.0)) * 3
            for command, reply, level in rounds:
                started = time.monotonic()
                self.assertEqual(appduck.ask(command), reply)
                took = time.monotonic() - started
                self.assertEqual(self.levels(), [level] * 190, command)
                print("\n190 streams: %s replied after %.0f ms" % (command, took * 1000),
                      file=sys.stderr)
            appduck.close_input()
            self.assertEqual(appduck.finish(), (OK, 0))
        except AssertionError:
            log.seek(0)
            print("\nappduck's diagnostics:\n" + log.read().decode(), file=sys.stderr)
            # Whether the server still lists them so a second later.
            time.sleep(1)
            print("a second later: %s" % self.levels(), file=sys.stderr)
            silent = [block for block in self.server.pactl("list", "sink-inputs").split("\n\n")
                      if "-inf dB" in block]
            print("%d silent, the first:\n%s" % (len(silent), silent[:1]), file=sys.stderr)
            raise
        finally:
            appduck.kill()


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

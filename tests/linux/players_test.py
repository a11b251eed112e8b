"""Real players' ways with their streams, on a server with its stream
memory: the zoo player with one behaviour each (a first moment at 0, a
track in another format, a short-lived stream before the real one, the
same level set again, a memory shared by role), and mpv itself. Each case
ducks, changes track, ends appduck's input, and starts the player's next
instance; every level is read raw from the server and must come back
exactly.

usage: players_test.py path/to/appduck [unittest arguments]
(APPDUCK_ZOO_PLAYER names the zoo player)
"""
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound_world  # noqa: E402

DUCKED = '{"ok":true,"bajados":1}\n'
NOTHING = '{"ok":true,"bajados":0}\n'
OK = '{"ok":true}\n'
MPV = ["mpv", "--no-config", "--no-video", "--really-quiet", "--audio-device=pulse/test"]
SURROUND = "front-left,front-right,rear-left,rear-right,front-center,lfe"


def linear(raw):
    return (raw / 65536.0) ** 3


class PlayerWorld(unittest.TestCase):
    """One private server with its memory for the class; each test names
    its players apart from every other test's."""

    @classmethod
    def setUpClass(cls):
        cls.server = sound_world.SoundServer(("module-stream-restore",))
        cls.server.start()
        cls.workdir = tempfile.mkdtemp(prefix="appduck-zoo.")

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def setUp(self):
        self.players = []
        self.log = tempfile.TemporaryFile()
        self.appduck = sound_world.Appduck(self.server, debug_log=self.log)

    def tearDown(self):
        self.appduck.kill()
        sound_world.wait_for_no_appduck(self.server)
        for player in self.players:
            if player.poll() is None:
                player.kill()
            player.wait()
        self.log.close()

    def diagnostics(self):
        self.log.seek(0)
        return self.log.read().decode()

    # -- the players ----------------------------------------------------

    def start(self, args, binary):
        """Starts a player; returns it once a stream of it plays at a level
        other than the first moment's 0."""
        known = set(self.server.raw_volumes(binary))

        def spawn():
            player = subprocess.Popen(args, env=self.server.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL)
            self.players.append(player)
            return player
        return sound_world.start_client(
            spawn, lambda: any(index not in known and max(volumes) > 0
                               for index, volumes in self.raw(binary).items()),
            "new stream of %s above 0" % binary, self.server)

    def zoo(self, name, *options):
        exe = os.path.join(self.workdir, name)
        if not os.path.exists(exe):
            shutil.copy(os.environ["APPDUCK_ZOO_PLAYER"], exe)
        return self.start([exe] + list(options), name)

    def stop(self, player, binary):
        player.kill()
        player.wait()
        sound_world.wait_until(lambda: not self.raw(binary), sound_world.BUSY_WAIT,
                               "the end of " + binary)

    def raw(self, binary):
        """{index: raw channel volumes} of the binary's streams on a sink
        or not (a short-lived one included)."""
        return self.server.raw_volumes(binary)

    def only_stream(self, binary):
        """The binary's one stream, once any other (an old track, a
        short-lived one) has gone: (index, raw volumes), as one listing had
        them (the next may already have another track's)."""
        seen = {}

        def one():
            seen.clear()
            seen.update(self.raw(binary))
            return len(seen) == 1
        try:
            sound_world.wait_until(one, sound_world.BUSY_WAIT, "one stream of " + binary)
        except RuntimeError:
            raise AssertionError("%s has streams %s:\n%s"
                                 % (binary, self.raw(binary), self.server.pactl("list", "sink-inputs")))
        return next(iter(seen.items()))

    def set_raw(self, binary, values):
        index, _ = self.only_stream(binary)
        self.server.pactl("set-sink-input-volume", str(index), *map(str, values))
        sound_world.wait_until(lambda: self.raw(binary).get(index) == values, 5,
                               "%s at %s" % (binary, values))

    def next_track(self, player, binary):
        """A track change: returns once the new track's stream plays alone."""
        old, _ = self.only_stream(binary)
        player.send_signal(signal.SIGUSR1)
        sound_world.wait_until(lambda: list(self.raw(binary)) not in ([], [old]) and
                               old not in self.raw(binary), sound_world.BUSY_WAIT,
                               "the next track of " + binary)
        sound_world.wait_until(lambda: max(self.only_stream(binary)[1]) > 0, 5,
                               "the next track's level")

    # -- what is checked --------------------------------------------------

    def assertDucked(self, binary, own, share=0.2):
        """The binary's stream at the share of its own level, loudest channel."""
        _, volumes = self.only_stream(binary)
        self.assertAlmostEqual(linear(max(volumes)) / linear(max(own)), share, delta=0.002,
                               msg="%s at %s, own %s" % (binary, volumes, own))

    def assertOwn(self, binary, own):
        """Exactly its own raw level; a ramp or the keeper may still be on
        its way."""
        try:
            sound_world.wait_until(lambda: self.only_stream(binary)[1] == own, 5,
                                   "%s at %s" % (binary, own))
        except RuntimeError:
            self.assertEqual(self.only_stream(binary)[1], own, self.diagnostics())

    def end_input(self):
        self.appduck.close_input()
        self.assertEqual(self.appduck.finish(), (OK, 0))
        sound_world.wait_for_no_appduck(self.server)

    def duck_as_it_starts(self, args, binary):
        """Starts a player with `duck 20 binary` sent again and again, each
        answered in under a millisecond, until one matches: that duck meets
        the stream's first moment, if it has one."""
        player = subprocess.Popen(args, env=self.server.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.players.append(player)
        deadline = time.monotonic() + 10
        while self.appduck.ask("duck 20 " + binary) == NOTHING:
            self.assertLess(time.monotonic(), deadline, "no stream of " + binary)
        return player



class Zoo(PlayerWorld):

    def test_a_duck_that_meets_a_streams_first_moment_at_0_saves_its_own_level(self):
        own = [45875, 45875]
        options = ("--channels", "2", "--first-zero", "40")
        self.set_raw_of_next_instance("newborn", own, options)
        player = self.duck_as_it_starts([os.path.join(self.workdir, "newborn")] + list(options),
                                        "newborn")
        self.assertDucked("newborn", own)
        met = "new streams at 0 on every channel" in self.diagnostics()
        print("\nfirst moment at 0 %s" % ("met" if met else "not met (it had passed)"),
              file=sys.stderr)
        if self.server.flavour() == "pulseaudio":
            self.assertTrue(met, self.diagnostics())  # 40 ms, ducks under 1 ms apart
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertOwn("newborn", own)
        self.end_input()
        self.stop(player, "newborn")
        self.zoo("newborn", *options)
        self.assertOwn("newborn", own)

    def set_raw_of_next_instance(self, name, own, options):
        """The server remembers the player at `own`."""
        player = self.zoo(name, *options)
        self.set_raw(name, own)
        self.stop(player, name)

    def test_a_track_in_another_format_during_a_duck_comes_back_at_its_own_level(self):
        # Channels of the first track and the next, the first's own level,
        # and the next's level once restored: its balance where the map
        # allows, the loudest otherwise.
        cases = (("2", "mono", [45875, 45875], [45875]),
                 ("mono", "2", [45875], [45875, 45875]),
                 ("front-left,front-right", SURROUND, [50000, 40000],
                  [50000, 40000, 50000, 50000, 50000, 50000]),
                 ("front-left,front-right", "front-right,front-left", [50000, 40000],
                  [40000, 50000]))
        for number, (first, following, own, restored) in enumerate(cases):
            with self.subTest(first=first, following=following):
                name = "formats%d" % number
                player = self.zoo(name, "--channels", first, "--next", following)
                self.set_raw(name, own)
                self.assertEqual(self.appduck.ask("duck 20 " + name), DUCKED)
                self.assertDucked(name, own)
                self.next_track(player, name)
                # The new stream took the ducked level from the memory, as
                # the server maps it onto its channels.
                self.assertLess(max(self.only_stream(name)[1]), max(own) * 0.7)
                self.assertEqual(self.appduck.ask("restore"), OK)
                self.assertOwn(name, restored)
                self.assertEqual(self.appduck.ask("duck 20 " + name), DUCKED)
                self.stop(player, name)
                self.assertEqual(self.appduck.ask("restore"), OK)
                self.zoo(name, "--channels", following)
                self.assertOwn(name, restored)

    def test_a_short_lived_stream_before_the_real_one_leaves_both_at_their_own_level(self):
        own = [45875, 45875]
        player = self.zoo("probing", "--channels", "2", "--probe", "20")
        self.set_raw("probing", own)
        self.assertEqual(self.appduck.ask("duck 20 probing"), DUCKED)
        # The player restarted during the duck: the short-lived stream and
        # the real one both start at the ducked level in the memory.
        self.stop(player, "probing")
        player = self.zoo("probing", "--channels", "2", "--probe", "20")
        self.assertDucked("probing", own)
        self.end_input()
        self.assertOwn("probing", own)
        self.stop(player, "probing")
        self.zoo("probing", "--channels", "2")
        self.assertOwn("probing", own)

    def test_a_player_that_sets_its_level_again_is_ducked_and_comes_back(self):
        own = [45875, 45875]
        player = self.zoo("echoing", "--channels", "2", "--echo", "60")
        self.set_raw("echoing", own)
        self.assertEqual(self.appduck.ask("duck 20 echoing"), DUCKED)
        _, ducked = self.only_stream("echoing")
        time.sleep(0.3)  # its echo of the ducked level has come
        self.assertEqual(self.only_stream("echoing")[1], ducked)
        self.next_track(player, "echoing")
        self.assertDucked("echoing", own)
        self.end_input()
        self.assertOwn("echoing", own)
        time.sleep(0.3)
        self.assertOwn("echoing", own)
        self.stop(player, "echoing")
        self.zoo("echoing", "--channels", "2")
        self.assertOwn("echoing", own)

    def test_a_player_that_echoes_its_level_rounded_to_whole_percents_comes_back(self):
        # Its slider shows whole percents of the mixers' scale and writes
        # what it shows back once the level holds still: an echo of
        # appduck's level, not the user's. Its next track starts from the
        # rounded level the server remembered.
        own = [45875, 45875]  # 70 %: the slider shows it as it is
        player = self.zoo("rounding", "--channels", "2", "--echo", "45", "--round", "1")
        self.set_raw("rounding", own)
        self.assertEqual(self.appduck.ask("duck 20 rounding"), DUCKED)
        # The echo may come before this first read, on a busy machine: what
        # is awaited is the rounding of the level read, which is that level
        # once the echo has come.
        _, ducked = self.only_stream("rounding")
        step = 65536 / 100.0
        shown = [int(math.floor(v / step + 0.5) * step + 0.5) for v in ducked]
        sound_world.wait_until(lambda: self.only_stream("rounding")[1] == shown, 2,
                               "the player's rounded echo")
        self.next_track(player, "rounding")
        self.end_input()
        self.assertOwn("rounding", own)
        time.sleep(0.3)
        self.assertOwn("rounding", own)

    def test_a_memory_shared_by_role_comes_back_for_every_application_of_it(self):
        own = [45875, 45875]
        options = ("--channels", "2", "--role", "video")
        first = self.zoo("screen", *options)
        self.set_raw("screen", own)
        self.assertEqual(self.appduck.ask("duck 20 screen"), DUCKED)
        # Another application of the role starts from the memory that the
        # duck lowered: appduck lowered it, and brings it back.
        self.zoo("projector", *options)
        self.assertDucked("projector", own)
        self.end_input()
        self.assertOwn("screen", own)
        self.assertOwn("projector", own)
        self.stop(first, "screen")
        self.zoo("screen", *options)
        self.assertOwn("screen", own)


def write_tone(path, rate, channels, seconds, frequency):
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        frames = (struct.pack("<h", int(3000 * math.sin(2 * math.pi * frequency * i / rate)))
                  * channels for i in range(int(rate * seconds)))
        out.writeframes(b"".join(frames))


class Mpv(PlayerWorld):
    """mpv from Debian: a new stream when the format changes, and, on
    PipeWire, a first moment at 0."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.stereo = os.path.join(cls.workdir, "stereo.wav")
        cls.mono = os.path.join(cls.workdir, "mono.wav")
        write_tone(cls.stereo, 44100, 2, 2.5, 400)
        write_tone(cls.mono, 48000, 1, 30, 700)

    def mpv(self, *files):
        return self.start(MPV + list(files), "mpv")

    def test_mpv_changing_format_during_a_duck_comes_back_at_its_own_level(self):
        player = self.mpv(self.stereo, self.mono)
        self.set_raw("mpv", [45875, 45875])
        self.assertEqual(self.appduck.ask("duck 20 mpv"), DUCKED)
        self.assertDucked("mpv", [45875, 45875])
        # At 2.5 s mpv opens a mono stream for the second file.
        sound_world.wait_until(lambda: len(self.only_stream("mpv")[1]) == 1, sound_world.BUSY_WAIT,
                               "the mono track")
        self.assertDucked("mpv", [45875])
        self.end_input()
        self.assertOwn("mpv", [45875])
        self.stop(player, "mpv")
        self.mpv(self.stereo)
        self.assertOwn("mpv", [45875, 45875])

    def test_mpv_started_in_the_middle_of_a_duck_comes_back_at_its_own_level(self):
        player = self.mpv(self.mono)
        self.set_raw("mpv", [45875])
        self.stop(player, "mpv")
        # On PipeWire, the duck meets its first moment at 0 most times.
        player = self.duck_as_it_starts(MPV + [self.mono], "mpv")
        self.assertDucked("mpv", [45875])
        # A second mpv started during the duck takes the ducked memory.
        second = self.mpv(self.mono)
        for _, volumes in self.raw("mpv").items():
            self.assertAlmostEqual(linear(max(volumes)) / linear(45875), 0.2, delta=0.002)
        self.end_input()
        sound_world.wait_until(lambda: list(self.raw("mpv").values()) == [[45875]] * 2, 5,
                               "both mpv at their own level")
        for started in (player, second):
            started.kill()
            started.wait()
        sound_world.wait_until(lambda: not self.raw("mpv"), sound_world.BUSY_WAIT,
                               "the end of mpv")
        self.mpv(self.mono)
        self.assertOwn("mpv", [45875])


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

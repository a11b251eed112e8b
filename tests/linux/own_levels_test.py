"""Every stream comes back exactly at its own level, read as raw channel
volumes from the server: several streams of one client, after `restore` and
through the keeper, many cycles, the server's stream memory, and a stream
on no sink.

usage: own_levels_test.py appduck [unittest arguments]
"""
import os
import sys
import time
import unittest

import sound_world

DUCKED = sound_world.DUCKED
OK = sound_world.OK
NO_SINK = sound_world.NO_SINK
linear = sound_world.linear


class OwnLevels(sound_world.RawLevelsTestCase):
    """A private server with its stream memory. Each test starts clients of
    its own, copies of the stream pool under names no other test uses."""

    def test_streams_of_one_client_come_back_exactly_by_restore_and_by_the_keeper(self):
        # At 1.0, at 0.4, and at 1.0 left and 0.5 right (linear).
        own = [[65536, 65536], [48300, 48300], [65536, 52016]]
        _, indexes = self.start("radio", streams=3)
        for index, values in zip(indexes, own):
            self.set_raw(index, values)
        self.assertEqual(self.appduck.ask("duck 20 radio"), DUCKED)
        for values, ducked in zip(own, self.raw("radio", indexes)):
            for was, now in zip(values, ducked):
                self.assertAlmostEqual(linear(now), 0.2 * linear(was), delta=0.002)
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("radio", indexes), own)
        self.assertEqual(self.appduck.ask("duck 0 radio"), DUCKED)
        self.appduck.process.kill()
        sound_world.wait_until(lambda: self.raw("radio", indexes) == own, 2, "the keeper's restore")

    def test_many_cycles_leave_the_raw_values_as_they_were(self):
        _, (index,) = self.start("cycler")
        self.set_raw(index, [65536, 20000])
        # One cycle used to move the raw values; the soak runs 150.
        cycles = int(os.environ.get("APPDUCK_CYCLES", "20"))
        for cycle in range(cycles):
            self.appduck.send("duck %d cycler" % (1 if cycle % 2 else 20))
            self.appduck.send("restore")
        for _ in range(cycles):
            self.assertEqual(self.appduck.reply() + self.appduck.reply(), DUCKED + OK)
        self.assertEqual(self.raw("cycler", [index]), [[65536, 20000]])

    def test_a_player_restarted_during_the_duck_and_ducked_again_comes_back(self):
        player, (first,) = self.start("restarted")
        self.set_raw(first, [60000, 60000])
        self.assertEqual(self.appduck.ask("duck 20 restarted"), DUCKED)
        ducked = self.raw("restarted", [first])
        self.stop(player, "restarted", [first])
        # The new process starts at the level the server remembered.
        player, (second,) = self.start("restarted")
        self.assertEqual(self.raw("restarted", [second]), ducked)
        self.assertEqual(self.appduck.ask("duck 20 restarted"), DUCKED)
        self.assertEqual(self.raw("restarted", [second]), ducked)
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("restarted", [second]), [[60000, 60000]])
        self.stop(player, "restarted", [second])
        _, (third,) = self.start("restarted")
        self.assertEqual(self.raw("restarted", [third]), [[60000, 60000]])

    def test_a_process_started_during_the_duck_and_its_next_one_play_at_their_own_level(self):
        player, (first,) = self.start("musicplayer")
        self.set_raw(first, [50000, 50000])
        self.assertEqual(self.appduck.ask("duck 20 musicplayer"), DUCKED)
        late, (second,) = self.start("musicplayer")
        self.assertEqual(self.raw("musicplayer", [second]), self.raw("musicplayer", [first]))
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("musicplayer", [first, second]), [[50000, 50000]] * 2)
        self.stop(player, "musicplayer", [first])
        self.stop(late, "musicplayer", [second])
        _, (third,) = self.start("musicplayer")
        self.assertEqual(self.raw("musicplayer", [third]), [[50000, 50000]])

    def test_an_application_sharing_the_ducked_ones_memory_key_is_left_alone(self):
        player, (ducked,) = self.start("roleplayer", prop="media.role=music")
        _, (other,) = self.start("roleother", prop="media.role=music")
        self.set_raw(ducked, [65536, 65536])
        self.set_raw(other, [30000, 30000])
        self.assertEqual(self.appduck.ask("duck 20 roleplayer"), DUCKED)
        self.stop(player, "roleplayer", [ducked])
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("roleother", [other]), [[30000, 30000]])

    def test_a_track_change_during_a_ramp_comes_back_to_its_own_level(self):
        # The next track starts from the server's memory at whatever step
        # of the duck's or the restore's ramp it met; once appduck has
        # ended, it and the track after it play at the player's own level.
        own = [45875, 45875]
        self.finish(self.appduck)  # one appduck a track change
        for ramp in ("duck", "restore"):
            for delay in (0.05, 0.15, 0.25):  # early, middle and late
                with self.subTest(ramp=ramp, delay=delay):
                    name = "gapless-%s-%d" % (ramp, int(delay * 100))
                    client, (first,) = self.start(name)
                    self.set_raw(first, own)
                    appduck = sound_world.Appduck(self.server)
                    if ramp == "restore":
                        self.assertEqual(appduck.ask("duck 20 " + name), DUCKED)
                    appduck.send("duck 20 " + name if ramp == "duck" else "restore")
                    time.sleep(delay)
                    track = self.next_track(client, name, [first])
                    self.assertEqual(appduck.reply(), DUCKED if ramp == "duck" else OK)
                    self.finish(appduck)
                    self.assertEqual(self.raw(name, [track]), [own])
                    after = self.next_track(client, name, [track])
                    self.assertEqual(self.raw(name, [after]), [own])

    def test_a_second_stream_started_during_the_duck_comes_back_to_its_own_level(self):
        own = [50000, 50000]
        _, (first,) = self.start("twostreams")
        self.set_raw(first, own)
        self.appduck.send("duck 20 twostreams")
        time.sleep(0.12)
        _, (second,) = self.start("twostreams")
        self.assertEqual(self.appduck.reply(), DUCKED)
        self.finish(self.appduck)
        self.assertEqual(self.raw("twostreams", [first, second]), [own, own])

    def test_a_second_controller_after_a_track_change_takes_no_ducked_level(self):
        # A ducks the player; its next track starts at A's ducked level from
        # the memory; B, ducking it too, must not take that for its own.
        own = [60000, 60000]
        client, (first,) = self.start("sharedtrack")
        self.set_raw(first, own)
        b = sound_world.Appduck(self.server)
        try:
            self.assertEqual(self.appduck.ask("duck 20 sharedtrack"), DUCKED)
            track = self.next_track(client, "sharedtrack", [first])
            ducked = self.raw("sharedtrack", [track])
            # Held as the track before it: A's 20 still wins, not 50 of 20.
            self.assertEqual(b.ask("duck 50 sharedtrack"), DUCKED)
            self.assertEqual(self.raw("sharedtrack", [track]), ducked)
            self.finish(self.appduck, last=False)
            self.assertEqual(b.ask("restore"), OK)
            self.finish(b)
        finally:
            b.kill()
        self.assertEqual(self.raw("sharedtrack", [track]), [own])
        after = self.next_track(client, "sharedtrack", [track])
        self.assertEqual(self.raw("sharedtrack", [after]), [own])

    @unittest.skipUnless(sound_world.SoundServer.flavour() == "pipewire",
                         "PulseAudio plays every stream on a sink")
    def test_a_stream_on_no_sink_is_ducked_and_comes_back(self):
        # WirePlumber moves a stream whose sink goes away to another at
        # once; one it may not link stays on no sink, as a stream whose
        # only device went away does.
        _, (index,) = self.start("headset", prop="node.autoconnect=false", linked=False)
        self.assertEqual(self.sinks()[index], NO_SINK)
        self.set_raw(index, [65536, 40000])
        self.assertEqual(self.appduck.ask("duck 20 headset"), DUCKED)
        left, right = self.raw("headset", [index])[0]
        self.assertAlmostEqual(linear(left), 0.2, delta=0.002)
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("headset", [index]), [[65536, 40000]])


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

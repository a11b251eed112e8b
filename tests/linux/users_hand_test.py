"""A level someone else sets on a ducked stream stands, read as raw channel
volumes from the server: set during the hold or during either ramp, beside a
second controller, before a kill, with mute. (A player that writes back each
level rounded is in players_test.py.)

usage: users_hand_test.py appduck [unittest arguments]
"""
import contextlib
import os
import select
import socket
import sys
import time
import unittest

import sound_world

DUCKED = sound_world.DUCKED
OK = sound_world.OK
OWN = [45875, 45875]
USERS = [58982, 58982]  # 90 % on the mixers' scale


class UsersHand(sound_world.RawLevelsTestCase):

    def user_sets(self, index, values):
        self.set_raw(index, values)

    def muted(self, index):
        for block in self.server.pactl("list", "sink-inputs").split("Sink Input #")[1:]:
            if int(block.split()[0]) == index:
                return "Mute: yes" in block
        raise AssertionError("no sink input %d" % index)

    def test_a_level_set_during_the_hold_stands_and_the_next_duck_starts_from_it(self):
        _, (moved, other) = self.start("twotracks", streams=2)
        self.set_raw(moved, OWN)
        self.set_raw(other, OWN)
        self.assertEqual(self.appduck.ask("duck 20 twotracks"), DUCKED)
        self.user_sets(moved, USERS)
        self.assertEqual(self.appduck.ask("restore"), OK)
        self.assertEqual(self.raw("twotracks", [moved, other]), [USERS, OWN])
        time.sleep(1)
        self.assertEqual(self.raw("twotracks", [moved]), [USERS], "a second later")
        self.assertEqual(self.appduck.ask("duck 20 twotracks"), DUCKED)
        left, _ = self.raw("twotracks", [moved])[0]
        self.assertAlmostEqual(sound_world.linear(left), 0.2 * sound_world.linear(USERS[0]),
                               delta=0.002)
        self.finish(self.appduck)
        self.assertEqual(self.raw("twotracks", [moved, other]), [USERS, OWN])

    def test_a_level_set_during_either_ramp_stands(self):
        self.finish(self.appduck)
        for ramp in ("duck", "restore"):
            with self.subTest(ramp=ramp):
                name = "midramp-" + ramp
                _, (index,) = self.start(name)
                self.set_raw(index, OWN)
                appduck = sound_world.Appduck(self.server)
                try:
                    if ramp == "restore":
                        self.assertEqual(appduck.ask("duck 20 " + name), DUCKED)
                    appduck.send("duck 20 " + name if ramp == "duck" else "restore")
                    # A drag in the mixer: several sets, the last one 50 ms
                    # after the first. (A set that meets a step already on
                    # its way to the server is overwritten by it; the drag's
                    # next one stands.)
                    time.sleep(0.12)
                    self.user_sets(index, USERS)
                    time.sleep(0.05)
                    self.user_sets(index, USERS)
                    self.assertEqual(appduck.reply(), DUCKED if ramp == "duck" else OK)
                    self.finish(appduck)
                finally:
                    appduck.kill()
                self.assertEqual(self.raw(name, [index]), [USERS])

    def test_beside_a_second_controller_the_users_level_survives_each_restore(self):
        _, (index,) = self.start("shared")
        self.set_raw(index, OWN)
        b = sound_world.Appduck(self.server)
        try:
            self.assertEqual(self.appduck.ask("duck 50 shared"), DUCKED)
            self.assertEqual(b.ask("duck 20 shared"), DUCKED)
            self.user_sets(index, USERS)
            self.assertEqual(self.appduck.ask("restore"), OK)
            self.assertEqual(self.raw("shared", [index]), [USERS])
            self.assertEqual(b.ask("restore"), OK)
            self.assertEqual(self.raw("shared", [index]), [USERS])
            self.finish(self.appduck, last=False)
            self.finish(b)
        finally:
            b.kill()
        self.assertEqual(self.raw("shared", [index]), [USERS])

    def test_the_keeper_of_a_killed_controller_leaves_the_users_level(self):
        _, (index,) = self.start("killed")
        self.set_raw(index, OWN)
        self.assertEqual(self.appduck.ask("duck 20 killed"), DUCKED)
        self.user_sets(index, USERS)
        self.appduck.process.kill()
        sound_world.wait_for_no_appduck(self.server)
        self.assertEqual(self.raw("killed", [index]), [USERS])

    def test_mute_is_never_written_and_the_volume_still_comes_back(self):
        _, (during, before) = self.start("muting", streams=2)
        for index in (during, before):
            self.set_raw(index, OWN)
        self.server.pactl("set-sink-input-mute", str(before), "1")
        self.assertEqual(self.appduck.ask("duck 20 muting"), DUCKED)
        self.server.pactl("set-sink-input-mute", str(during), "1")
        self.finish(self.appduck)
        self.assertEqual(self.raw("muting", [during, before]), [OWN, OWN])
        self.assertTrue(self.muted(during) and self.muted(before))

    def ended_muted_while_ducked(self, name, mute_during):
        """A stream muted before the duck or during it ends while ducked:
        its memory is written back for its next stream, which starts at the
        own level again, and muted."""
        client, (first,) = self.start(name)
        self.set_raw(first, OWN)
        if not mute_during:
            self.server.pactl("set-sink-input-mute", str(first), "1")
        appduck = sound_world.Appduck(self.server)
        try:
            self.assertEqual(appduck.ask("duck 20 " + name), DUCKED)
            if mute_during:
                self.server.pactl("set-sink-input-mute", str(first), "1")
            self.stop(client, name, [first])
            self.assertEqual(appduck.ask("restore"), OK)
            self.finish(appduck, last=False)
        finally:
            appduck.kill()
        _, (second,) = self.start(name)
        self.assertEqual(self.raw(name, [second]), [OWN])
        self.assertTrue(self.muted(second))

    def test_a_stream_muted_before_the_duck_that_ended_leaves_its_memory_muted(self):
        self.ended_muted_while_ducked("mutedbefore", mute_during=False)

    @unittest.skipIf(sound_world.SoundServer.flavour() == "pipewire",
                     "PipeWire lists no stream memory: a mute set after appduck last listed the "
                     "stream is not known to it (a documented limit)")
    def test_a_stream_muted_during_the_duck_that_ended_leaves_its_memory_muted(self):
        self.ended_muted_while_ducked("mutedduring", mute_during=True)


    def test_with_no_second_connection_the_levels_are_read_on_the_first(self):
        """The server refuses appduck's second connection (every other slot
        is taken): the ramp reads on the first, a level the user sets during
        it is still found, and the other stream comes back exactly."""
        self.finish(self.appduck)
        _, (moved, other) = self.start("onesocket", streams=2)
        self.set_raw(moved, OWN)
        self.set_raw(other, OWN)
        fillers = Fillers(self.server)
        log = open(os.path.join(self.workdir, "debug.log"), "w+")
        self.addCleanup(log.close)
        appduck = None
        try:
            if not fillers.fill():
                self.skipTest("this server takes any number of connections")
            fillers.free_one()  # appduck's first connection, and no other
            appduck = sound_world.Appduck(self.server, debug_log=log)
            self.assertEqual(appduck.ask("duck 20 onesocket"), DUCKED)
            appduck.send("restore")
            # During the restore's ramp, as a drag in the mixer (see above).
            for pause in (0.12, 0.05):
                time.sleep(pause)
                with fillers.opened_one():
                    fillers.retry(lambda: self.user_sets(moved, USERS))
            self.assertEqual(appduck.reply(), OK)
            fillers.close()
            self.finish(appduck)
        finally:
            fillers.close()
            if appduck:
                appduck.kill()
        self.assertEqual(self.raw("onesocket", [moved, other]), [USERS, OWN])
        log.seek(0)
        self.assertEqual(log.read().count("second connection for reading levels failed"), 1,
                         "refused once, not asked again at every step")


class Fillers:
    """Connections that take the server's free client slots (PulseAudio
    takes 64), opened raw, without a handshake."""

    def __init__(self, server):
        self.path = server.env["PULSE_SERVER"][len("unix:"):]
        self.sockets = []

    def _open(self):
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        connection.connect(self.path)
        self.sockets.append(connection)

    def fill(self, most=100):
        """True once the server refuses one more: the refused are closed."""
        for _ in range(most):
            self._open()
        time.sleep(0.5)
        refused = [c for c in self.sockets
                   if select.select([c], [], [], 0)[0] and not c.recv(1, socket.MSG_PEEK)]
        for connection in refused:
            connection.close()
            self.sockets.remove(connection)
        return bool(refused)

    def free_one(self):
        self.sockets.pop().close()

    @contextlib.contextmanager
    def opened_one(self):
        """A slot for the test's own pactl, taken again after it."""
        self.free_one()
        try:
            yield
        finally:
            self._open()

    @staticmethod
    def retry(action):
        """The server may not have seen a slot freed yet: refused, again."""
        for _ in range(20):
            try:
                return action()
            except RuntimeError as refused:
                if "Connection failure" not in str(refused):
                    raise
                time.sleep(0.01)
        return action()

    def close(self):
        while self.sockets:
            self.free_one()


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

"""The Python and Node.js clients against the real appduck with real sound:
the README's voice-assistant recipe in each language (the music ducked
while the assistant speaks and held between sentences, its own speech
never lowered, the music back exactly), a timeout during a server stall
after which the next call gets its own reply, a missing program, and
appduck killed under the client.

usage: clients_test.py path/to/appduck [unittest arguments]
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "linux"))
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
import appduck  # noqa: E402
import sound_world  # noqa: E402

OWN = [65536]  # the player's raw volume, at its own level


def recipe(language):
    """The README's voice-assistant recipe in that language, as it stands."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        blocks = re.findall(r"```(\w+)\n(.*?)```", readme.read(), re.S)
    found = [code for fence, code in blocks if fence == language and "appduck recipe" in code]
    assert len(found) == 1, "one %s recipe in the README" % language
    return found[0]


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="appduck-clients.")
        cls.server = sound_world.SoundServer()
        cls.server.start()
        cls.player = sound_world.Player(cls.server, cls.workdir, "player", 1000)
        # Where require("appduck") finds the client of this tree.
        modules = os.path.join(cls.workdir, "node_modules")
        os.mkdir(modules)
        os.symlink(os.path.abspath(os.path.join(ROOT, "clients", "node")),
                   os.path.join(modules, "appduck"))
        # The program under test is the one on PATH too.
        cls.bin = os.path.join(cls.workdir, "bin")
        os.mkdir(cls.bin)
        os.symlink(sound_world.APPDUCK, os.path.join(cls.bin, "appduck"))
        cls.env = dict(cls.server.env, APPDUCK=sound_world.APPDUCK, NODE_PATH=modules,
                       PYTHONPATH=os.path.abspath(os.path.join(ROOT, "clients", "python")),
                       PATH=cls.bin + os.pathsep + cls.server.env["PATH"])

    @classmethod
    def tearDownClass(cls):
        cls.player.stop()
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def tearDown(self):
        sound_world.wait_for_no_appduck(self.server)
        self.assertEqual(list(self.server.raw_volumes("player").values()), [OWN],
                         "the player is back at its own level, exactly")

    # -- the recipe ------------------------------------------------------

    def run_recipe(self, language, interpreter):
        script = os.path.join(self.workdir,
                              "assistant." + {"python": "py", "js": "js"}.get(language, language))
        with open(script, "w") as out:
            out.write(recipe(language))
        assistant = subprocess.Popen([interpreter, script], env=self.env)
        samples = []  # (player's level, [each speech stream's level])
        while assistant.poll() is None:
            streams = self.server.streams()
            player = [max(levels) for name, levels in streams if name == "player"]
            speech = [max(levels) for name, levels in streams if name.startswith("espeak")]
            samples.append((player[0] if player else None, speech))
            time.sleep(0.03)
        self.assertEqual(assistant.wait(), 0)
        spoken = [i for i, (_, speech) in enumerate(samples) if speech]
        self.assertTrue(spoken, "the assistant spoke")
        # Speech starts before the duck's ramp ends: from its end on, the
        # music stays down until the last sentence is said.
        down = [i for i, (player, _) in enumerate(samples) if abs(player - 0.2) < 0.002]
        self.assertTrue(down and down[0] <= spoken[-1], "the music went down while it spoke")
        for player, _ in samples[down[0]:spoken[-1] + 1]:
            self.assertAlmostEqual(player, 0.2, delta=0.002,
                                   msg="the music down while it speaks and between sentences")
        for _, speech in samples:
            for level in speech:
                self.assertAlmostEqual(level, 1.0, delta=0.001, msg="its own speech never lowered")

    def test_python_recipe(self):
        self.run_recipe("python", sys.executable)

    def test_node_recipe(self):
        self.run_recipe("js", "node")

    def test_shell_recipe(self):
        self.run_recipe("sh", "sh")

    # -- the Python client ------------------------------------------------

    def stall_server(self, seconds):
        group = self.server.process.pid
        os.killpg(group, signal.SIGSTOP)
        resume = threading.Timer(seconds, os.killpg, (group, signal.SIGCONT))
        resume.start()
        self.addCleanup(resume.join)
        return resume

    def test_python_client_keeps_calls_and_replies_in_step(self):
        # The client starts appduck in this process's environment.
        saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(saved)))
        os.environ.clear()
        os.environ.update(self.env)
        with appduck.Appduck(timeout=1.0) as client:
            self.assertEqual(client.duck(20, "player"), 1)
            resume = self.stall_server(3)
            with self.assertRaises(appduck.AppduckTimeout):
                client.restore()
            resume.join()
            listed = client.list()  # its own reply, not the restore's late one
            self.assertEqual([entry["name"] for entry in listed], ["player"])

        missing = os.path.join(self.workdir, "missing")
        with self.assertRaises(appduck.AppduckNotFound) as caught:
            appduck.Appduck(missing)
        self.assertIn(missing + " (no such file)", str(caught.exception))

        client = appduck.Appduck()
        self.assertEqual(client.duck(20, "player"), 1)
        os.kill(client._process.pid, signal.SIGKILL)
        with self.assertRaises(appduck.AppduckGone) as gone:
            client.list()
        self.assertEqual(gone.exception.status, -signal.SIGKILL)
        client.close()

    def test_mistakes_say_so_in_both_clients(self):
        # An APPDUCK that names nothing is refused by name, though an
        # appduck is on PATH.
        missing = "/opt/appduck/bin/appduck"
        env = dict(self.env, APPDUCK=missing)
        saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(saved)))
        os.environ.clear()
        os.environ.update(env)
        with self.assertRaises(appduck.AppduckNotFound) as caught:
            appduck.Appduck()
        self.assertEqual(str(caught.exception),
                         "appduck was not found: tried APPDUCK=%s (no such file)" % missing)
        result = self.node_check("chosen", missing)
        self.assertEqual(result["error"], "AppduckNotFoundError")
        self.assertIn("APPDUCK=%s (no such file)" % missing, result["message"])
        # ducked of an application that does not play warns, once, naming
        # what does.
        os.environ["APPDUCK"] = sound_world.APPDUCK
        with appduck.Appduck() as client, warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(2):
                with client.ducked(20, "spotify"):
                    pass
            self.assertEqual([str(warning.message) for warning in caught],
                             ["appduck: no application matched spotify; playing now: player"])
        self.assertEqual(self.node_check("unmatched"),
                         ["appduck: no application matched spotify; playing now: player"])

    # -- the Node.js client -------------------------------------------------

    def node_check(self, name, *args, act=None):
        check = subprocess.Popen(["node", os.path.join(HERE, "node_checks.js"), name] + list(args),
                                 env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
        for line in check.stdout:
            said = json.loads(line)
            if "result" in said:
                check.stdin.close()
                check.stdout.close()
                self.assertEqual(check.wait(10), 0)
                return said["result"]
            act(said["wait"])
            check.stdin.write("\n")
            check.stdin.flush()
        self.fail("node_checks.js %s ended without a result" % name)

    def test_node_client_keeps_calls_and_replies_in_step(self):
        resume = []

        def stall(what):
            if what == "stop the server":
                resume.append(self.stall_server(3))
            else:
                resume[0].join()
        result = self.node_check("stall", act=stall)
        self.assertEqual(result["ducked"], 1)
        self.assertEqual(result["restore"]["error"], "AppduckTimeoutError")
        self.assertEqual([entry["name"] for entry in result["list"]["value"]], ["player"])

        result = self.node_check("aborted")
        self.assertEqual(result["aborted"]["error"], "AbortError")
        self.assertEqual([entry["name"] for entry in result["list"]["value"]], ["player"])

        missing = os.path.join(self.workdir, "missing")
        result = self.node_check("missing", missing)
        self.assertEqual(result["error"], "AppduckNotFoundError")
        self.assertIn(missing + " (no such file)", result["message"])

        result = self.node_check("killed", act=lambda what: os.kill(int(what.split()[-1]),
                                                                    signal.SIGKILL))
        self.assertEqual(result["error"], "AppduckGoneError")
        self.assertEqual(result["status"], "SIGKILL")


if __name__ == "__main__":
    sound_world.APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

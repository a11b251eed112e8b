"""The unchanged appduck.exe under Wine against the stand-in audio service
(registered in WINEPREFIX by prepare_standin_prefix.sh), with real idle
Windows processes behind the sessions, driven through pipes.

usage: end_to_end_test.py appduck.exe idle_process.exe launcher.exe controller.exe
       [unittest arguments]
"""
import glob
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import types
import unittest

APPDUCK = None
IDLE = None
LAUNCHER = None
CONTROLLER = None
# Processes of ours under chosen names; Wine gives every started program a
# dot (CreateProcess appends ".exe"), so a name without one cannot be had.
PROCESS_NAMES = ("player.exe", "Chat.exe", "Müsik.exe", "my.player.exe")
NO_PROCESS = 4242  # Wine's process ids are multiples of 4
OPERATIONS = ("create", "enum_endpoints", "endpoint_count", "item", "activate",
              "session_enumerator", "session_count", "get_session", "control2",
              "process_id", "instance", "volume_control", "get_volume", "set_volume")
OK = b'{"ok":true}\r\n'
NO = b'{"ok":false}\r\n'


def ducked(flag):
    return b'{"ok":true,"bajados":%d}\r\n' % flag


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def ramp(own, share):
    """The ten levels a duck from the session's own level writes, computed
    in single precision as the program does: shares step * (to - from) / 10
    + from of its own level, the last one the target share itself."""
    shares = [f32(f32(f32(step * f32(share - 1.0)) / 10.0) + 1.0) for step in range(1, 10)]
    return [f32(own * s) for s in shares + [share]]


def wine_processes(prefix, marker=b"--keeper"):
    """Unix pids of the processes running in a Wine prefix whose command
    line carries the marker (by default, the keepers)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if marker not in cmdline.read():
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if ("WINEPREFIX=%s" % prefix).encode() in environ.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            pass  # gone meanwhile
    return pids


def wait_until_gone(pid, seconds=10):
    deadline = time.monotonic() + seconds
    while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
        time.sleep(0.05)


def windows_path(path):
    # Drive Z: is the Unix root in every Wine prefix. (winepath would do, but
    # a wineserver it starts holds our pipes open.)
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Run:
    """One appduck.exe run: its output, exit status and the stand-in's log,
    split by the process that wrote it (appduck first, then any keeper)."""

    def __init__(self, output, status, log):
        self.output = output
        self.status = status
        self.processes = []
        for line in log:
            if line.startswith("process "):
                self.processes.append([])
            elif self.processes:
                self.processes[-1].append(line)
        self.log = self.processes[0] if self.processes else []

    def sets(self, session, log=None):
        """(value, ms) of every accepted SetMasterVolume of a session."""
        result = []
        for line in self.log if log is None else log:
            fields = line.split()
            if fields[0] == "set" and int(fields[1]) == session and len(fields) == 4:
                result.append((float(fields[2]), float(fields[3])))
        return result

    def set_sessions(self):
        return [int(line.split()[1]) for line in self.log if line.startswith("set ")]


class WineWorld(unittest.TestCase):
    """Real idle Windows processes under chosen names, for the stand-in's
    sessions, and runs of appduck.exe over them."""
    workdir = None
    pids = {}
    processes = []
    spacings = []
    ramp_durations = []

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="appduck-e2e.")
        starting = [cls.start_process(name, cls.workdir) for name in PROCESS_NAMES]
        for name, pid_file in starting:
            cls.pids[name] = cls.process_id(name, pid_file)

    @classmethod
    def start_process(cls, name, directory):
        """An idle Windows process under that name; (name, its pid file)."""
        exe = os.path.join(directory, name)
        shutil.copy(IDLE, exe)
        pid_file = exe + ".pid"
        cls.processes.append(subprocess.Popen(
            ["wine", exe, windows_path(pid_file)], env=cls.wine_env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        return name, pid_file

    @staticmethod
    def process_id(name, pid_file):
        def written():
            if not os.path.exists(pid_file):
                return ""
            with open(pid_file) as text:
                return text.read()
        deadline = time.monotonic() + 60
        while not written().endswith("\n"):
            if time.monotonic() > deadline:
                raise RuntimeError("%s did not start" % name)
            time.sleep(0.1)
        return int(written())

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.wine_env())
        for process in cls.processes:
            process.wait()
        cls.processes = []
        shutil.rmtree(cls.workdir, ignore_errors=True)
        if cls.spacings:
            print("\nramp under Wine: step spacing median %.1f ms, worst %.1f ms over %d "
                  "steps; ramp median %.1f ms from the first set to the last"
                  % (statistics.median(cls.spacings), max(cls.spacings), len(cls.spacings),
                     statistics.median(cls.ramp_durations)), file=sys.stderr)

    @staticmethod
    def wine_env(**extra):
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update(extra)
        return env

    def pid(self, name):
        return self.pids[name]

    def standin_env(self, world):
        """The environment of a run over `world` (lines of the stand-in's
        world file), with a fresh log."""
        world_file = os.path.join(self.workdir, "world.txt")
        log_file = os.path.join(self.workdir, "log.txt")
        with open(world_file, "w") as out:
            out.write("\n".join(world) + "\n")
        if os.path.exists(log_file):
            os.remove(log_file)
        return self.wine_env(APPDUCK_STANDIN_WORLD=windows_path(world_file),
                             APPDUCK_STANDIN_LOG=windows_path(log_file))

    def run_appduck(self, world, commands, args=(), **extra_env):
        """Runs appduck.exe (with `args`) over `world` with `commands` on its
        input; checks the stand-in's reference log. The run's standard error
        is kept in its `errors`."""
        env = self.standin_env(world)
        env.update(extra_env)
        log_file = os.path.join(self.workdir, "log.txt")
        # Files, not pipes: a wineserver started by this run would hold a
        # pipe open after appduck ends.
        input_file = os.path.join(self.workdir, "input.txt")
        output_file = os.path.join(self.workdir, "output.txt")
        with open(input_file, "wb") as out:
            out.write(commands.encode())
        errors_file = os.path.join(self.workdir, "errors.txt")
        with open(input_file, "rb") as stdin, open(output_file, "wb") as stdout, \
                open(errors_file, "wb") as stderr:
            status = subprocess.run(["wine", APPDUCK] + list(args), stdin=stdin, stdout=stdout,
                                    stderr=stderr, env=env, timeout=60).returncode
        with open(output_file, "rb") as output, open(log_file) as log, \
                open(errors_file, "rb") as errors:
            run = Run(output.read(), status, log.read().splitlines())
            run.errors = errors.read()
        self.check_references(run.log)
        self.assertEqual(len(run.processes), 1, "a keeper touched the sessions after a clean end")
        return run

    def check_references(self, log):
        """Every object handed out released exactly once, none left over, and
        the stand-in unloaded (its report ran)."""
        counts = {}
        for line in log:
            fields = line.split()
            self.assertNotIn(fields[0], ("leak", "overrelease", "world"), line)
            if fields[0] == "ref":
                counts[fields[1]] = int(fields[3])
        self.assertTrue(log and log[-1].startswith("unloaded"), "the stand-in was not unloaded")
        self.assertEqual({name: count for name, count in counts.items() if count}, {})

    def assertRamp(self, run, session, own, share):
        """The session's first ten sets are the ramp from its own level to
        the share of it."""
        sets = run.sets(session)[:10]
        values = [value for value, _ in sets]
        expected = ramp(own, share)
        self.assertEqual(len(values), 10, values)
        for value, wanted in zip(values, expected):
            self.assertAlmostEqual(value, wanted, delta=1e-7)
        times = [at for _, at in sets]
        self.spacings.extend(b - a for a, b in zip(times, times[1:]))
        self.ramp_durations.append(times[-1] - times[0])


class EndToEnd(WineWorld):
    # -- worlds -------------------------------------------------------

    def mixed_world(self):
        """Sessions 1-4 on the first endpoint, 5-7 on the second."""
        return ["endpoint",
                "session %d 0.5" % self.pid("player.exe"),
                "session 0 0.9",
                "session %d 0.126" % self.pid("Chat.exe"),
                "session %d 0.3" % self.pid("player.exe"),
                "endpoint",
                "session %d 1.0" % self.pid("Müsik.exe"),
                "session %d 0.124" % self.pid("my.player.exe"),
                "session %d 0.7" % NO_PROCESS]

    # -- list ---------------------------------------------------------

    def test_list_byte_for_byte(self):
        run = self.run_appduck(self.mixed_world(), "list\nquit\n")
        self.assertEqual(run.output.decode(),
                         '[{"exe":"player.exe","name":"player","vol":50},'
                         '{"exe":"Chat.exe","name":"Chat","vol":13},'
                         '{"exe":"Müsik.exe","name":"Müsik","vol":100},'
                         '{"exe":"my.player.exe","name":"my.player","vol":12}]\r\n'
                         '{"ok":true}\r\n')
        self.assertEqual(run.status, 0)
        self.assertEqual(run.set_sessions(), [])

    def test_every_listed_name_is_one_duck_accepts(self):
        listed = self.run_appduck(self.mixed_world(), "list\n").output.decode()
        names = re.findall(r'"name":"([^"]*)"', listed)
        self.assertEqual(names, ["player", "Chat", "Müsik", "my.player"])
        commands = "".join("duck 100 %s\n" % name for name in names)
        run = self.run_appduck(self.mixed_world(), commands)
        self.assertEqual(run.output, ducked(1) * len(names) + OK)

    def test_diagnostics_only_when_asked(self):
        world = self.mixed_world() + ["fail session_enumerator 2"]
        quiet = self.run_appduck(world, "list\n")
        self.assertEqual(quiet.errors, b"")
        told = self.run_appduck(world, "list\n", APPDUCK_DEBUG="1")
        self.assertEqual(told.output, quiet.output)
        self.assertEqual(told.errors,
                         b"appduck: IAudioSessionManager2::GetSessionEnumerator failed: "
                         b"0x80004005\r\n")

    # -- duck and restore ----------------------------------------------

    def test_duck_ramps_every_session_of_the_named_process(self):
        run = self.run_appduck(self.mixed_world(), "duck 20 player\n")
        self.assertEqual(run.output, ducked(1) + OK)
        # Both sessions of player.exe go to 0.2 of their own levels, step by
        # step together; my.player.exe is not player.
        self.assertEqual(run.set_sessions()[:20], [1, 4] * 10)
        self.assertRamp(run, 1, 0.5, f32(0.2))
        self.assertRamp(run, 4, 0.3, f32(0.2))
        # End of input: each back to exactly its own.
        self.assertEqual(f32(run.sets(1)[-1][0]), f32(0.5))
        self.assertEqual(f32(run.sets(4)[-1][0]), f32(0.3))

    def test_run_ducks_while_its_command_runs_and_passes_its_status(self):
        run = self.run_appduck(self.mixed_world(), "",
                               args=("run", "20", "player", "--", "cmd", "/c", "exit 3"))
        self.assertEqual((run.status, run.output), (3, b""))
        self.assertRamp(run, 1, 0.5, f32(0.2))
        self.assertEqual(f32(run.sets(1)[-1][0]), f32(0.5))
        self.assertEqual(len(run.sets(1)), 20, "ducked, then back as the command ended")

    def test_a_named_run_is_seen_in_status_and_its_restore_lifts_it_early(self):
        # The command itself asks for the status, then restores the run's hold.
        me = "Z:" + os.path.abspath(APPDUCK).replace("/", "\\")
        run = self.run_appduck(self.mixed_world(), "", args=(
            "run", "--as", "early", "20", "player", "--", "cmd", "/c",
            "%s status & %s restore --as early & exit 5" % (me, me)))
        self.assertEqual(run.status, 5, run.errors)
        self.assertRegex(run.output.decode(),
                         r'^\{"name":"early","pid":\d+,"exe":"appduck.exe","held":\[[^]]+\],'
                         r'"while":\d+\}\r\n\{"ok":true\}\r\n$')
        self.assertRamp(run, 1, 0.5, f32(0.2))
        self.assertEqual(f32(run.sets(1)[-1][0]), f32(0.5))
        self.assertEqual(len(run.sets(1)), 20, "lifted once, by the restore")

    def test_a_named_hold_from_hooks_ducks_and_its_restore_brings_it_back(self):
        env = self.standin_env(self.mixed_world())
        log_file = os.path.join(self.workdir, "log.txt")
        def hook(*args):
            # Files, not pipes (see run_appduck); the hook's own output.
            with open(os.path.join(self.workdir, "out"), "w+b") as out, \
                    open(os.path.join(self.workdir, "err"), "w+b") as err:
                done = subprocess.run(["wine", APPDUCK] + list(args), env=env, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=60)
                out.seek(0)
                err.seek(0)
                return types.SimpleNamespace(returncode=done.returncode, stdout=out.read(),
                                             stderr=err.read())
        duck = hook("duck", "--as", "tts", "20", "player")
        self.assertEqual((duck.returncode, duck.stdout), (0, ducked(1)), duck.stderr)
        self.assertRegex(hook("status").stdout.decode(),
                         r'^\{"name":"tts","pid":\d+,"exe":"appduck.exe","held":\['
                         r'\{"name":"player.exe","pid":\d+,"percent":20\},'
                         r'\{"name":"player.exe","pid":\d+,"percent":20\}\],"left_s":(299|300)\}\r\n$')
        restore = hook("restore", "--as", "tts")
        self.assertEqual((restore.returncode, restore.stdout), (0, OK), restore.stderr)
        again = hook("restore", "--as", "tts")
        self.assertEqual((again.returncode, again.stdout), (0, OK), "no such hold: at once")
        def log():
            with open(log_file) as lines:
                return lines.read().splitlines()
        deadline = time.time() + 10
        while time.time() < deadline and not (log() and log()[-1].startswith("unloaded")):
            time.sleep(0.1)  # the resident's end, after its reply
        run = Run(b"", 0, log())
        self.check_references(run.log)
        self.assertRamp(run, 1, 0.5, f32(0.2))
        self.assertEqual(f32(run.sets(1)[-1][0]), f32(0.5))

    def test_a_failing_call_during_the_restore_loses_no_session(self):
        # Two sessions of one process: each rebuild reads two process ids,
        # two instances and two volumes, and a duck reads the saved ones'
        # volumes once more; the failures below hit the restore's rebuild
        # or its last set.
        player = self.pid("player.exe")
        world = ["endpoint", "session %d 0.5" % player, "session %d 0.3" % player]
        for failure in ("process_id 4", "instance 4", "get_volume 6", "set_volume 40"):
            with self.subTest(failure=failure):
                run = self.run_appduck(world + ["fail " + failure], "duck 20 player\nrestore\n")
                self.assertEqual(run.output, ducked(1) + OK + OK)
                self.assertEqual(f32(run.sets(1)[-1][0]), f32(0.5))
                self.assertEqual(f32(run.sets(2)[-1][0]), f32(0.3))
        self.assertEqual(run.status, 0)

    def test_several_names_and_a_wildcard(self):
        run = self.run_appduck(self.mixed_world(), "duck 50 CHAT*; müsik\nquit\n")
        self.assertEqual(run.output, ducked(1) + OK)
        self.assertRamp(run, 3, 0.126, 0.5)
        self.assertRamp(run, 5, 1.0, 0.5)
        self.assertEqual(sorted(set(run.set_sessions())), [3, 5])

    def test_ducks_do_not_compound_and_restore_ramps_back(self):
        run = self.run_appduck(self.mixed_world(),
                               "duck 20 player\nduck 50 player\nrestore\nlist\n")
        self.assertEqual(run.output, ducked(1) + ducked(1) + OK +
                         b'[{"exe":"player.exe","name":"player","vol":50},'
                         b'{"exe":"Chat.exe","name":"Chat","vol":13},'
                         b'{"exe":"M\xc3\xbcsik.exe","name":"M\xc3\xbcsik","vol":100},'
                         b'{"exe":"my.player.exe","name":"my.player","vol":12}]\r\n' + OK)
        values = [value for value, _ in run.sets(1)]
        self.assertEqual(len(values), 30)
        self.assertAlmostEqual(values[19], 0.25, delta=1e-7)  # half of 0.5, not of 0.1
        self.assertAlmostEqual(values[29], 0.5, delta=1e-7)

    def test_quit_and_end_of_input_restore(self):
        for commands in ("duck 10 *\nquit\n", "duck 10 *\n"):
            run = self.run_appduck(self.mixed_world(), commands)
            self.assertEqual(run.output, ducked(1) + OK, commands)
            for session, volume in ((1, 0.5), (3, 0.126), (5, 1.0), (6, 0.124)):
                self.assertEqual(len(run.sets(session)), 20, (commands, session))
                self.assertAlmostEqual(run.sets(session)[-1][0], volume, delta=1e-7)

    def test_a_duck_to_zero_stays_within_what_windows_accepts(self):
        world = ["endpoint", "session %d 0.81" % self.pid("player.exe")]
        run = self.run_appduck(world, "duck 0 player\n")
        self.assertFalse([line for line in run.log if line.endswith("refused")], run.log)
        self.assertEqual(run.sets(1)[9][0], 0.0)
        self.assertAlmostEqual(run.sets(1)[-1][0], 0.81, delta=1e-7)

    # -- failures -----------------------------------------------------

    def test_each_failing_call_leaves_the_program_answering(self):
        commands = "list\nduck 20 player\nrestore\nhello\n"
        for operation in OPERATIONS:
            with self.subTest(operation=operation):
                # A set refused every time would keep the restore, the end
                # of input and then the keeper trying: the duck's first fails.
                failure = "set_volume 1" if operation == "set_volume" else operation
                run = self.run_appduck(self.mixed_world() + ["fail " + failure], commands)
                if operation in ("set_volume", "instance"):
                    # Sessions without an instance are known by their
                    # processes alone.
                    listed, flag = b'[{"exe":"player.exe"', 1
                else:
                    listed, flag = b"[]", 0
                lines = run.output.split(b"\r\n")
                self.assertTrue(lines[0].startswith(listed), run.output)
                self.assertEqual(b"\r\n".join(lines[1:]), ducked(flag) + OK + NO + OK)
                self.assertEqual(run.status, 0)

    def test_a_single_failing_call_drops_only_its_part(self):
        # The second endpoint's Item fails on the first rebuild only: the
        # first list lacks its applications, the second has them.
        run = self.run_appduck(self.mixed_world() + ["fail item 2"], "list\nlist\n")
        first, second = run.output.split(b"\r\n")[:2]
        self.assertNotIn("Müsik".encode(), first)
        self.assertIn("Müsik".encode(), second)
        # A session whose volume cannot be read is left out, not invented.
        run = self.run_appduck(self.mixed_world() + ["fail get_volume 1"], "list\n")
        self.assertTrue(run.output.startswith(b'[{"exe":"Chat.exe"'), run.output)


class Keeper(WineWorld):
    """appduck.exe ended by a controller without a word: the keeper it
    started restores what it ducked, from a process of its own."""

    def keeper_log(self, log_file, seconds=20):
        """The keeper's part of the log, once it has unloaded the stand-in."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with open(log_file) as log:
                run = Run(b"", 0, log.read().splitlines())
            if len(run.processes) > 1 and run.processes[1][-1:] and \
                    run.processes[1][-1].startswith("unloaded"):
                return run.processes[1]
            time.sleep(0.1)
        with open(log_file) as log:
            self.fail("no keeper restored anything: %s" % log.read())

    def world(self):
        return ["endpoint", "session %d 0.5" % self.pid("player.exe"),
                "session %d 0.8" % self.pid("Chat.exe")]

    def check_keeper(self, log_file, killed_at):
        keeper = self.keeper_log(log_file)
        self.check_references(keeper)
        # The killed appduck.exe holds its references still, but none was
        # released twice before it died.
        with open(log_file) as log:
            killed = Run(b"", 0, log.read().splitlines()).processes[0]
        self.assertFalse([line for line in killed if line.startswith("overrelease")], killed)
        run = Run(b"", 0, [])
        player = run.sets(1, keeper)
        self.assertEqual(len(player), 10, keeper)
        self.assertAlmostEqual(player[-1][0], 0.5, delta=1e-7)
        self.assertEqual(run.sets(2, keeper), [], "the chat was never ducked")
        if killed_at is not None:
            print("\nkeeper under Wine: first restoring set %.0f ms after the kill, restored "
                  "%.0f ms after it" % (player[0][1] - killed_at, player[-1][1] - killed_at),
                  file=sys.stderr)

    def ducking_appduck(self):
        """appduck.exe that has ducked the player to 20, its environment and
        the stand-in's log file."""
        env = self.standin_env(self.world())
        # The wineserver starts apart from our pipes, which it would hold open.
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        appduck = subprocess.Popen(["wine", APPDUCK], env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.ask(appduck, b"duck 20 player\n")
        return appduck, env, os.path.join(self.workdir, "log.txt")

    def ask(self, appduck, line):
        appduck.stdin.write(line)
        appduck.stdin.flush()
        self.assertEqual(appduck.stdout.readline(), ducked(1))

    def kill_and_check(self, appduck, log_file):
        killed_at = time.time() * 1000
        appduck.send_signal(signal.SIGKILL)
        # The keeper holds none of appduck's handles: its output ends now.
        started = time.monotonic()
        self.assertEqual(appduck.stdout.read(), b"")
        self.assertLess(time.monotonic() - started, 0.1)
        appduck.wait()
        appduck.stdin.close()
        appduck.stdout.close()
        self.check_keeper(log_file, killed_at)

    def test_a_killed_appduck_is_restored_by_its_keeper(self):
        appduck, _, log_file = self.ducking_appduck()
        self.kill_and_check(appduck, log_file)

    def test_a_keeper_killed_meanwhile_is_replaced_before_the_next_duck(self):
        appduck, env, log_file = self.ducking_appduck()
        keeper, = wine_processes(env["WINEPREFIX"])
        os.kill(keeper, signal.SIGKILL)
        wait_until_gone(keeper)
        # This duck saves nothing new: only a look at the keeper finds it dead.
        self.ask(appduck, b"duck 50 player\n")
        self.kill_and_check(appduck, log_file)

    def test_the_keeper_marker_without_its_pipe_runs_the_normal_program(self):
        for arguments in ("--keeper", "--keeper 4", "--keeper 12345678"):
            run = self.run_appduck_with_arguments(self.world(), "list\n", arguments.split())
            self.assertTrue(run.startswith(b'[{"exe":"player.exe"'), (arguments, run))

    def run_appduck_with_arguments(self, world, commands, arguments):
        env = self.standin_env(world)
        # Files, not pipes: a wineserver this run starts would hold a pipe open.
        input_file = os.path.join(self.workdir, "input.txt")
        output_file = os.path.join(self.workdir, "output.txt")
        with open(input_file, "wb") as out:
            out.write(commands.encode())
        with open(input_file, "rb") as stdin, open(output_file, "wb") as stdout:
            subprocess.run(["wine", APPDUCK] + arguments, stdin=stdin, stdout=stdout,
                           stderr=subprocess.DEVNULL, env=env, timeout=60)
        with open(output_file, "rb") as output:
            return output.read()

    def test_terminate_process_from_a_windows_controller(self):
        env = self.standin_env(self.world())
        log_file = os.path.join(self.workdir, "log.txt")
        output_file = os.path.join(self.workdir, "output.txt")
        with open(output_file, "wb") as stdout:
            subprocess.run(["wine", LAUNCHER, windows_path(APPDUCK), "duck 20 player"],
                           env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        with open(output_file, "rb") as output:
            self.assertEqual(output.read(), ducked(1))
        self.check_keeper(log_file, None)


class SeveralControllers(WineWorld):
    """Two appduck.exe at once over one player, its own volume 0.5: the
    deepest duck wins and each restore, or end, lifts only its own."""

    world = Keeper.world
    ask = Keeper.ask

    def setUp(self):
        # What an earlier test's controllers shared is not this test's.
        prefix = self.wine_env()["WINEPREFIX"]
        for table in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local",
                                            "appduck")):
            shutil.rmtree(table)
        self.env = self.standin_env(self.world())
        self.log_file = os.path.join(self.workdir, "log.txt")
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        appduck = subprocess.Popen(["wine", APPDUCK], env=self.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(appduck.stdout.close)
        self.addCleanup(appduck.stdin.close)
        self.addCleanup(appduck.wait)
        self.addCleanup(appduck.kill)
        return appduck

    def player(self):
        """The player's level, as the last accepted set of any process left it."""
        with open(self.log_file) as log:
            sets = Run(b"", 0, []).sets(1, log.read().splitlines())
        return sets[-1][0] if sets else 0.5

    def assertPlayerAt(self, level, seconds=20):
        deadline = time.monotonic() + seconds
        while abs(self.player() - level) > 1e-6 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertAlmostEqual(self.player(), level, delta=1e-6)

    def test_a_restore_lifts_only_its_own_and_the_last_end_restores_all(self):
        a, b = self.start(), self.start()
        self.ask(a, b"duck 50 player\n")
        self.ask(b, b"duck 20 player\n")
        self.assertPlayerAt(0.1, 0)
        a.stdin.write(b"restore\n")
        a.stdin.flush()
        self.assertEqual(a.stdout.readline(), OK)
        self.assertPlayerAt(0.1, 0)
        b.stdin.close()
        self.assertEqual(b.stdout.read(), OK)
        self.assertPlayerAt(0.5, 0)

    def test_a_killed_controller_leaves_the_other_ones_duck(self):
        a, b = self.start(), self.start()
        self.ask(a, b"duck 20 player\n")
        self.ask(b, b"duck 50 player\n")
        self.assertPlayerAt(0.1, 0)
        a.send_signal(signal.SIGKILL)
        self.assertPlayerAt(0.25)
        b.stdin.close()
        self.assertEqual(b.stdout.read(), OK)
        self.assertPlayerAt(0.5)


    def test_a_level_another_process_sets_stands_and_an_echo_within_tolerance_does_not(self):
        # Every process's sets are the stand-in's log: another process's
        # set is a line of its own there.
        def set_elsewhere(level):
            with open(self.log_file, "a") as log:
                log.write("set 1 %.9g 0.000\n" % level)
        a = self.start()
        self.ask(a, b"duck 20 player\n")
        self.assertPlayerAt(0.1, 0)
        set_elsewhere(0.104)  # the player's own echo of 0.1, rounded
        a.stdin.write(b"restore\n")
        a.stdin.flush()
        self.assertEqual(a.stdout.readline(), OK)
        self.assertPlayerAt(0.5, 0)
        self.ask(a, b"duck 20 player\n")
        set_elsewhere(0.9)  # the user, in the volume mixer
        a.stdin.close()
        self.assertEqual(a.stdout.read(), OK)
        self.assertPlayerAt(0.9, 0)


class Restarts(WineWorld):
    """Windows keeps a program's session volume across its restarts, under
    its session identifier: a player that ends while ducked starts again at
    the ducked level, as a new process with a new session."""

    setUp = SeveralControllers.setUp
    start = SeveralControllers.start
    world = Keeper.world
    ask = Keeper.ask

    @staticmethod
    def player_ended(world):
        return [line.replace("session", "ended", 1) if "player" in line else line
                for line in world]

    def player_started(self, world):
        """The world with a session of a new player.exe process."""
        directory = tempfile.mkdtemp(dir=self.workdir)
        pid = self.process_id(*self.start_process("player.exe", directory))
        return world + ["session %d 0.9 player" % pid]

    def write_world(self, world):
        with open(os.path.join(self.workdir, "world.txt"), "w") as out:
            out.write("\n".join(world) + "\n")

    def send(self, appduck, line):
        appduck.stdin.write(line)
        appduck.stdin.flush()
        return appduck.stdout.readline()

    def test_a_player_restarted_while_ducked_comes_back_to_its_own_level(self):
        world = ["endpoint", "session %d 0.5 player" % self.pid("player.exe")]
        self.write_world(world)
        appduck = self.start()
        self.ask(appduck, b"duck 20 player\n")
        # Restarted before the restore: the restore brings its new session
        # back, from the ducked level Windows kept for it.
        world = self.player_started(self.player_ended(world))
        self.write_world(world)
        self.assertEqual(self.send(appduck, b"restore\n"), OK)
        self.assertEqual(self.last_set(2), f32(0.5))
        # Ended while ducked again, and started once the restore had found
        # it gone: the next rebuild, even a list's, sets it back.
        self.ask(appduck, b"duck 20 player\n")
        world = self.player_ended(world)
        self.write_world(world)
        self.assertEqual(self.send(appduck, b"restore\n"), OK)
        self.write_world(self.player_started(world))
        self.assertEqual(self.send(appduck, b"list\n"),
                         b'[{"exe":"player.exe","name":"player","vol":50}]\r\n')
        self.assertEqual(self.last_set(3), f32(0.5))
        appduck.stdin.close()
        self.assertEqual(appduck.stdout.read(), OK)

    def last_set(self, session):
        with open(self.log_file) as log:
            sets = Run(b"", 0, []).sets(session, log.read().splitlines())
        return f32(sets[-1][0]) if sets else None


class Spare(WineWorld):
    """A Windows controller that started appduck.exe and a voice of its own:
    `spare` keeps the voice up through `duck 20 *`, while the player goes
    down and comes back."""

    def test_a_wildcard_passes_over_the_controllers_own_voice(self):
        directory = tempfile.mkdtemp(dir=self.workdir)
        voice = os.path.join(directory, "voice.exe")
        shutil.copy(IDLE, voice)
        voice_id, go = voice + ".pid", os.path.join(directory, "go")
        player = self.pid("player.exe")
        env = self.standin_env(["endpoint", "session %d 0.5" % player])
        log_file = os.path.join(self.workdir, "log.txt")
        output_file = os.path.join(self.workdir, "output.txt")
        with open(output_file, "wb") as stdout:
            controller = subprocess.Popen(
                ["wine", CONTROLLER, windows_path(APPDUCK), windows_path(voice),
                 windows_path(voice_id), windows_path(go), "spare", "duck 20 *", "list"],
                env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL)
            voice_pid = self.process_id("voice.exe", voice_id)
            with open(os.path.join(self.workdir, "world.txt"), "w") as world:
                world.write("endpoint\nsession %d 0.5\nsession %d 1.0\n" % (player, voice_pid))
            open(go, "w").close()
            self.assertEqual(controller.wait(60), 0)
        with open(output_file, "rb") as output, open(log_file) as log:
            replies, run = output.read(), Run(b"", 0, log.read().splitlines())
        self.assertEqual(replies, OK + ducked(1) +
                         b'[{"exe":"player.exe","name":"player","vol":10},'
                         b'{"exe":"voice.exe","name":"voice","vol":100}]\r\n' + OK)
        self.check_references(run.log)
        self.assertEqual(run.sets(2), [], "the voice was never set")
        self.assertAlmostEqual(run.sets(1)[-1][0], 0.5, delta=1e-7)


if __name__ == "__main__":
    CONTROLLER = os.path.abspath(sys.argv.pop(4))
    LAUNCHER = os.path.abspath(sys.argv.pop(3))
    IDLE = os.path.abspath(sys.argv.pop(2))
    APPDUCK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

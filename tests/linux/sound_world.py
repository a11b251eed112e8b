"""A private PulseAudio server with real players, and level measurements at
its null sink's monitor, for the Linux end-to-end tests.

Each player is a copy of pacat under a chosen executable name playing a
sine tone of its own frequency; the level of one player in the mix is the
amplitude of its frequency (a Goertzel filter over whole periods), so the
ratio of two measurements of one player is exact whatever the others do.
"""
import math
import os
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

RATE = 44100
# Of full scale, so that five players together never clip: PipeWire plays a
# mono stream on both channels of the sink and its monitor, recorded mono,
# adds 3 dB (one player reads 0.1414). At 0.2, four players clipped there,
# and a duck of one raised the others' levels by a percent.
TONE_AMPLITUDE = 0.1
APPDUCK = None  # the program under test, set by each test script
# Levels are amplitudes of each player's own frequency over 0.2 s, so the
# others do not disturb them. What is left is 16-bit rounding of the samples
# and of the server's volume (one part in 65536 of the cubic scale, about
# 0.01 % of the factor at 0.2): 1 % of the level before is ample.
TOLERANCE = 0.01
# How many times a sound reading that disagrees with the server is taken
# again before the test fails.
MEASURE_TRIES = 4
PLAYERS = (("player", 1000), ("Chat", 1500), ("radio.fm", 2000), ("chat-voice", 2500))


# How long a test waits for the server, or a player, to do what it was asked
# (start a stream, link it, end it): a bound for a busy machine, where
# PipeWire may take seconds, not a timing.
BUSY_WAIT = 30


def wait_until(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


def start_client(start, ready, what, server):
    """Starts clients that play (start() returns a process, or a list of
    them) and waits until ready(). Streams that do not come within BUSY_WAIT
    are the server's or the machine's doing, never the program's (no
    appduck makes or holds back a stream): the clients are ended, that is
    said, and they are started once more; a second miss fails with the
    server's state."""
    for attempt in (1, 2):
        started = start()
        clients = started if isinstance(started, list) else [started]
        try:
            wait_until(ready, BUSY_WAIT, what)
            return started
        except RuntimeError:
            statuses = [client.poll() for client in clients]
            for client in clients:
                client.kill()
                client.wait()
            seen = ", ".join("still running" if status is None else "ended with status %d" % status
                             for status in statuses)
            if attempt == 2:
                raise RuntimeError("no %s in two tries of %d s (the last clients: %s)\n%s"
                                   % (what, BUSY_WAIT, seen, server.what_became_of_it()))
            sys.stderr.write("no %s in %d s (the clients: %s; the server lists %r): started again\n"
                             % (what, BUSY_WAIT, seen, server.pactl("list", "short", "sink-inputs")))


# What a desktop session, or a script the user sourced, may have set that
# points a sound server or its clients somewhere else.
FOREIGN_PREFIXES = ("PULSE_", "PIPEWIRE_", "WIREPLUMBER_", "SPA_", "JACK_")
FOREIGN_NAMES = ("XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
                 "XDG_CACHE_HOME", "XDG_CONFIG_DIRS", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY",
                 "WAYLAND_DISPLAY", "APPDUCK_DEBUG")


def isolated_environment(directory):
    """The environment of a private server and every client a test starts:
    the caller's, less everything that could lead to another server, with a
    runtime directory, state, configuration and home in `directory`."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(FOREIGN_PREFIXES) and name not in FOREIGN_NAMES}
    env["XDG_RUNTIME_DIR"] = directory
    env["HOME"] = directory
    env["XDG_CONFIG_HOME"] = os.path.join(directory, "config")
    env["XDG_STATE_HOME"] = os.path.join(directory, "state")
    env["PULSE_RUNTIME_PATH"] = os.path.join(directory, "pulse")
    # What the server remembers of stream volumes stays in here too.
    env["PULSE_STATE_PATH"] = os.path.join(directory, "state")
    # For a failure's post-mortem: every appduck a test starts says what it
    # does, into files in that folder.
    if os.environ.get("APPDUCK_TEST_DEBUG_DIR"):
        env["APPDUCK_DEBUG"] = "1"
    return env


class SoundServer:
    """A sound server in a runtime directory of its own, with one null sink
    named "test": PulseAudio, or with SOUND_SERVER=pipewire in the
    environment, PipeWire with WirePlumber and its pulse server."""

    def __init__(self, extra_modules=()):
        self.dir = tempfile.mkdtemp(prefix="appduck-pulse.")
        os.chmod(self.dir, 0o700)
        self.env = isolated_environment(self.dir)
        self.env["PULSE_SERVER"] = "unix:%s/pulse/native" % self.dir
        self.extra_modules = list(extra_modules)
        self.process = None

    @staticmethod
    def flavour():
        return os.environ.get("SOUND_SERVER", "pulseaudio")

    def start(self):
        log = open(os.path.join(self.dir, "server.log"), "ab")
        if self.flavour() == "pipewire":
            # WirePlumber links the streams; a session bus of its own keeps
            # it off the machine's. The sh and everything it starts form one
            # process group, stopped together. The log says how the pulse
            # server ended, should it end before the test does.
            args = ["dbus-run-session", "--", "sh", "-c",
                    "pipewire & sleep 0.3; wireplumber & pipewire-pulse;"
                    " echo pipewire-pulse ended with status $? >&2"]
        else:
            # No CPU limiter: under a test's hundreds of streams on a busy
            # machine it would end the daemon silently.
            args = ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                    "--no-cpu-limit=yes", "--realtime=no", "--high-priority=no",
                    "--load=module-native-protocol-unix",
                    "--load=module-null-sink sink_name=test"]
            args += ["--load=%s" % module for module in self.extra_modules]
        env = self.env
        if os.environ.get("APPDUCK_TEST_DEBUG_DIR"):
            # What WirePlumber saves and restores of each stream, for the
            # post-mortem of a stream memory gone wrong.
            env = dict(env, WIREPLUMBER_DEBUG="I")
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=log, start_new_session=True)
        log.close()
        wait_until(self.answers, 10, "the sound server")
        if self.flavour() == "pipewire":
            self.pactl("load-module", "module-null-sink", "sink_name=test")
            wait_until(lambda: "test" in self.pactl("list", "short", "sinks"), 10,
                       "the null sink")
            # The pulse server lists the sink before WirePlumber takes it
            # for the streams' target: a stream that comes in between finds
            # none and is refused ("target not found", Input/output error).
            wait_until(self.sink_is_the_default, 10, "WirePlumber's choice of the null sink")

    def sink_is_the_default(self):
        done = subprocess.run(["pw-metadata", "-n", "default", "0", "default.audio.sink"],
                              env=self.env, capture_output=True, text=True, timeout=10)
        return "\"name\":\"test\"" in done.stdout

    def answers(self):
        return subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def stop(self):
        """Stops every process the server started and waits until all are
        gone: a PipeWire daemon can outlive its group's leader while it
        shuts down, and the next server must not meet it."""
        if self.process:
            group = self.process.pid
            self._signal_group(signal.SIGTERM)
            self._signal_group(signal.SIGCONT)  # a stopped group gets the SIGTERM
            try:
                self.process.wait(5)
                wait_until(lambda: not group_members(group), 5, "the server's processes")
            except (subprocess.TimeoutExpired, RuntimeError):
                self._signal_group(signal.SIGKILL)
                self.process.wait()
                wait_until(lambda: not group_members(group), 5, "the server's processes")
            self.process = None

    def _signal_group(self, number):
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass

    def add_sink(self, name):
        self.pactl("load-module", "module-null-sink", "sink_name=%s" % name)
        wait_until(lambda: name in self.pactl("list", "short", "sinks"), BUSY_WAIT, "sink " + name)

    def sink_input_index(self, binary):
        """The index of the first sink input of the executable `binary`."""
        index = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            line = line.strip()
            if line.startswith("Sink Input #"):
                index = line[len("Sink Input #"):]
            elif line.startswith("application.process.binary") and \
                    line.split("=", 1)[1].strip().strip('"') == binary:
                return index
        raise KeyError(binary)

    def pactl(self, *args):
        done = subprocess.run(["pactl"] + list(args), env=self.env, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("pactl %s: %s\n%s" % (" ".join(args), done.stderr.strip(),
                                                     self.what_became_of_it()))
        return done.stdout

    def what_became_of_it(self):
        """The server's processes and the end of its log, for a failure."""
        group = self.process.pid if self.process else None
        members = group_members(group) if group else []
        try:
            with open(os.path.join(self.dir, "server.log"), errors="replace") as log:
                tail = log.read()[-2000:]
        except OSError:
            tail = ""
        return "server processes: %s\nserver log ends:\n%s" % (members, tail)

    def streams(self):
        """(binary, [linear volume of each channel]) of every sink input."""
        result = []
        volumes = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            line = line.strip()
            if line.startswith("Volume:"):
                volumes = [int(part.split("/")[0].split(":")[-1])
                           for part in line[len("Volume:"):].split(",")]
            elif line.startswith("application.process.binary"):
                binary = line.split("=", 1)[1].strip().strip('"')
                result.append((binary, [(v / 65536.0) ** 3 for v in volumes]))
        return result

    def sink_inputs(self):
        """{binary: [linear volume of each channel]}, one stream per binary."""
        return dict(self.streams())

    def raw_volumes(self, binary):
        """{index: [raw volume of each channel]} of the binary's sink inputs."""
        result = {}
        index = volumes = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            line = line.strip()
            if line.startswith("Sink Input #"):
                index = int(line[len("Sink Input #"):])
            elif line.startswith("Volume:"):
                volumes = [int(part.split("/")[0].split(":")[-1])
                           for part in line[len("Volume:"):].split(",")]
            elif line.startswith("application.process.binary") and \
                    line.split("=", 1)[1].strip().strip('"') == binary:
                result[index] = volumes
        return result

    def cleanup(self):
        # A keeper still restoring for a test that failed midway gets a
        # moment to finish; nothing of ours outlives the server.
        try:
            wait_for_no_appduck(self)
        except RuntimeError:
            for pid in appduck_processes(self):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.stop()
        folder = os.environ.get("APPDUCK_TEST_DEBUG_DIR")
        if folder:
            shutil.copy(os.path.join(self.dir, "server.log"),
                        tempfile.mktemp(prefix="server.", suffix=".log", dir=folder))
        shutil.rmtree(self.dir, ignore_errors=True)


def group_members(group):
    """(pid, command) of every live process in the process group."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[2]) == group and fields[0] != "Z":
                with open("/proc/%s/comm" % entry) as comm:
                    members.append((int(entry), comm.read().strip()))
        except (OSError, IndexError, ValueError):
            pass  # gone meanwhile
    return members


def tone(frequency, seconds, channels=1):
    samples = int(RATE * seconds)
    step = 2 * math.pi * frequency / RATE
    peak = 32767 * TONE_AMPLITUDE
    return struct.pack("<%dh" % (samples * channels),
                       *(int(peak * math.sin(step * i)) for i in range(samples)
                         for _ in range(channels)))


class Player:
    """A copy of pacat named `name` playing a tone until stopped, the same on
    every channel."""

    def __init__(self, server, workdir, name, frequency, seconds=600, channels=1):
        self.name = name
        self.frequency = frequency
        exe = os.path.join(workdir, name)
        shutil.copy("/usr/bin/pacat", exe)
        sound = os.path.join(workdir, "%s-%d.raw" % (frequency, channels))
        if not os.path.exists(sound):
            one_second = tone(frequency, 1.0, channels)
            with open(sound, "wb") as out:
                out.write(one_second * seconds)
        # --raw: a name with "play" in it would turn pacat into paplay.
        start = lambda: subprocess.Popen(
            [exe, "--playback", "--raw", "--device=test", "--rate=%d" % RATE,
             "--channels=%d" % channels, "--format=s16le", "--latency-msec=20", sound],
            env=server.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.process = start_client(start, lambda: name in server.sink_inputs(),
                                    "stream of player " + name, server)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


class Recorder:
    """Records the null sink's monitor (mono) for as long as it runs; sample
    positions double as a clock, 44100 to the second."""

    def __init__(self, server):
        self.data = bytearray()
        self.lock = threading.Lock()
        self.process = subprocess.Popen(
            ["parec", "--latency-msec=10", "--device=test.monitor", "--rate=%d" % RATE,
             "--channels=1", "--format=s16le", "--raw"],
            env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        # The recorder takes up to a second to start delivering.
        wait_until(lambda: self.position() > RATE // 10, 10, "the recorder")

    def _read(self):
        while True:
            chunk = self.process.stdout.read1(4096)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def position(self):
        with self.lock:
            return len(self.data) // 2

    def wait_for(self, seconds):
        """Waits until `seconds` more of sound have been recorded."""
        target = self.position() + int(seconds * RATE)
        wait_until(lambda: self.position() >= target, seconds + 10, "recorded sound")
        return target

    def samples(self, start, end):
        with self.lock:
            chunk = bytes(self.data[start * 2:end * 2])
        return struct.unpack("<%dh" % (len(chunk) // 2), chunk)

    def levels(self, frequencies, windows=10, seconds=0.05):
        """Level of each frequency over the next `windows` clean windows of
        `seconds` each: the median over them. A window the recording or the
        server glitched in (an underrun, a dropout) is left out, however it
        reads; after MAX_WINDOWS windows with too few clean ones, the
        recording is at fault: MeasuringFault."""
        size = int(seconds * RATE)
        position = self.position()
        clean = []
        for _ in range(MAX_WINDOWS):
            self.wait_for_position(position + size)
            window = self.samples(position, position + size)
            position += size
            found = [level(window, frequency, flat=True) for frequency in frequencies]
            if window_is_clean(window, found):
                clean.append(found)
                if len(clean) == windows:
                    break
        if len(clean) < windows // 2:
            raise MeasuringFault("%d of %d windows clean" % (len(clean), MAX_WINDOWS))
        return {frequency: statistics.median(found[i] for found in clean)
                for i, frequency in enumerate(frequencies)}

    def wait_for_position(self, target):
        wait_until(lambda: self.position() >= target, 10, "recorded sound")

    def stop(self):
        self.process.kill()
        self.process.wait()
        self.thread.join()
        self.process.stdout.close()


class MeasuringFault(Exception):
    """The recording could not be measured: the fault is the measurement's,
    not the program's."""


# How many windows a measurement may look at before it gives up (3 s of
# 0.05 s windows): on a busy machine PipeWire's recording glitches in one
# window of three at times, and one in a hundred when idle.
MAX_WINDOWS = 60
# A window is clean when its tones account for all of its energy: a dropout
# or a jump in the recording spreads energy beyond the tones and moves their
# readings by up to 60 %, while a clean window's tones hold its energy to
# within a part in ten thousand (seen on both servers, idle and busy; windows
# over 0.002 read every tone within 0.03 % of the truth).
CLEAN_ENERGY = 0.002


def window_is_clean(samples, amplitudes, within=CLEAN_ENERGY):
    """Whether the tones of these amplitudes (shares of full scale) hold all
    the energy of the samples. A silent window is a dropout: the players
    the tests measure never all fall silent."""
    energy = sum(x * x for x in samples) / (len(samples) * 32767.0 * 32767.0)
    tones = sum(a * a / 2 for a in amplitudes)
    return energy >= 1e-9 and abs(1 - tones / energy) < within


# A flat-top window: over 0.05 s (20 Hz bins), the amplitude it reads of a
# tone stays within 0.1 % of the truth while the tone is up to 8 Hz off the
# measured frequency, where plain whole periods of 0.1 s read a tone 1 Hz
# off 1.7 % low. PipeWire resamples every stream and the recorder
# adaptively, which can move a tone that far.
FLAT_TOP = (0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368)
_windows = {}


def flat_top(length):
    if length not in _windows:
        step = 2 * math.pi / (length - 1)
        _windows[length] = [sum((-1) ** k * a * math.cos(k * step * n)
                                for k, a in enumerate(FLAT_TOP)) for n in range(length)]
    return _windows[length]


def level(samples, frequency, start=0, length=None, flat=False):
    """Amplitude of one frequency in samples[start:start+length], as a share of
    full scale (Goertzel), through a flat-top window when `flat` is set."""
    if length is None:
        length = len(samples) - start
    weights = flat_top(length) if flat else None
    coefficient = 2 * math.cos(2 * math.pi * frequency / RATE)
    s1 = s2 = 0.0
    if weights:
        for x, w in zip(samples[start:start + length], weights):
            s1, s2 = x * w + coefficient * s1 - s2, s1
    else:
        for x in samples[start:start + length]:
            s1, s2 = x + coefficient * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - coefficient * s1 * s2
    gain = sum(weights) if weights else length
    return 2 * math.sqrt(max(power, 0.0)) / gain / 32767


class OnePlayerTestCase(unittest.TestCase):
    """A private server with one player named "player" for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="appduck-player.")
        cls.server = SoundServer()
        cls.server.start()
        cls.player = Player(cls.server, cls.workdir, "player", 1000, seconds=60)

    @classmethod
    def tearDownClass(cls):
        cls.player.stop()
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)


def appduck_processes(server):
    """Every process running the program under test on this server: appduck
    and any keeper it started (told apart from other tests' by the server
    they were pointed at)."""
    if APPDUCK is None:
        return []
    target = os.path.realpath(APPDUCK)
    marker = ("PULSE_SERVER=%s" % server.env["PULSE_SERVER"]).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % entry) != target:
                continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if marker in environ.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            pass  # gone meanwhile
    return pids


def wait_for_no_appduck(server, seconds=5):
    wait_until(lambda: not appduck_processes(server), seconds, "every appduck process to end")


class Appduck:
    """appduck driven through pipes, one reply line per command."""

    def __init__(self, server, debug_log=None, env=None):
        """With debug_log, a file, appduck's diagnostics go there; with env,
        it runs in that environment instead of the server's."""
        env = env or server.env
        env = dict(env, APPDUCK_DEBUG="1") if debug_log else env
        folder = os.environ.get("APPDUCK_TEST_DEBUG_DIR")
        self.own_log = None  # closed with the process
        if folder and not debug_log:
            debug_log = self.own_log = open(tempfile.mktemp(prefix="appduck.", suffix=".log",
                                                            dir=folder), "w")
        self.process = subprocess.Popen([APPDUCK], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE,
                                        stderr=debug_log or subprocess.PIPE)

    def send(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def reply(self, seconds=10):
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        if not ready:
            raise AssertionError("appduck gave no reply in %s s" % seconds)
        return self.process.stdout.readline().decode()

    def ask(self, line):
        self.send(line)
        return self.reply()

    def ask_within(self, line, seconds):
        self.send(line)
        return self.reply(seconds)

    def close_input(self):
        self.process.stdin.close()

    def finish(self, seconds=10):
        """Waits for the exit; returns (remaining output, exit status)."""
        output = self.process.stdout.read().decode()
        status = self.process.wait(seconds)
        self.process.stdout.close()
        if self.process.stderr:
            self.process.stderr.close()
        if self.own_log:
            self.own_log.close()
        return output, status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr, self.own_log):
            if stream and not stream.closed:
                stream.close()


class SoundTestCase(unittest.TestCase):
    """A private server with three players, a recorder and an appduck."""
    server = None
    workdir = None
    players = {}
    modules = ()  # extra server modules


    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="appduck-players.")
        cls.server = SoundServer(cls.modules)
        cls.server.start()
        cls.start_players()

    @classmethod
    def start_players(cls):
        cls.players = {name: Player(cls.server, cls.workdir, name, frequency)
                       for name, frequency in PLAYERS}

    @classmethod
    def start_ended_players(cls):
        """A player whose stream a freshly started server timed out on a
        busy machine ("Stream error: Timeout") is the server's doing, not
        the program's: it is started again, and every player plays."""
        for name, frequency in PLAYERS:
            if cls.players[name].process.poll() is not None:
                sys.stderr.write("player %s ended (status %d): started again\n"
                                 % (name, cls.players[name].process.returncode))
                cls.players[name] = Player(cls.server, cls.workdir, name, frequency)
        wait_until(lambda: all(name in cls.server.sink_inputs() for name, _ in PLAYERS),
                   BUSY_WAIT, "every player's stream")

    @classmethod
    def stop_players(cls):
        for player in cls.players.values():
            player.stop()

    @classmethod
    def tearDownClass(cls):
        cls.stop_players()
        cls.server.cleanup()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def setUp(self):
        for name in self.players:
            self.assertAlmostEqual(self.server.sink_inputs()[name][0], 1.0, places=3,
                                   msg="a test before left %s ducked" % name)
        self.recorder = Recorder(self.server)
        self.before = self.baseline()
        self.appduck = Appduck(self.server)

    def tearDown(self):
        self.appduck.kill()
        # A keeper restoring what a killed appduck left must be done before
        # the next test measures anything.
        wait_for_no_appduck(self.server)
        self.recorder.stop()
        # Whatever a failed test left ducked must not spoil the next one.
        for line in self.server.pactl("list", "short", "sink-inputs").splitlines():
            self.server.pactl("set-sink-input-volume", line.split()[0], "1.0")

    def ratios(self):
        """Each player's level now, as a share of its level before the test."""
        self.recorder.wait_for(0.1)  # sound already in the server's buffers
        now = self.levels()
        return {name: now[name] / self.before[name] for name in self.players}

    def settle(self, expected, seconds=10):
        """The program's part: waits until the server has each player at the
        expected share of its level before the test (1.0), and fails, as the
        program's fault, with the server's raw levels when it does not."""
        def off():
            volumes = self.server.sink_inputs()
            return {name: volumes.get(name) for name, ratio in expected.items()
                    if name not in volumes or abs(max(volumes[name]) - ratio) >= 0.002}
        try:
            wait_until(lambda: not off(), seconds, "the server's levels")
        except RuntimeError:
            wrong = off()
            self.fail("the server has %s after %d s, expected %s (the program's fault)"
                      % (", ".join("%s at %s" % (name, self.server.raw_volumes(name))
                                   for name in wrong), seconds,
                         ", ".join("%s at %.2f" % (name, expected[name]) for name in wrong)))

    def baseline(self):
        """Each player's level now, which the test's readings are shares of:
        measured again while the recording is at fault."""
        for _ in range(MEASURE_TRIES):
            try:
                levels = self.levels()
            except MeasuringFault:
                continue
            # Every player plays at its own level now.
            if all(level > 0 for level in levels.values()):
                return levels
        raise MeasuringFault("no baseline in %d tries" % MEASURE_TRIES)

    def levels(self):
        """Each player's level now, measured over one stretch of sound."""
        by_frequency = self.recorder.levels([p.frequency for p in self.players.values()])
        return {name: by_frequency[player.frequency] for name, player in self.players.items()}

    def assertRatios(self, expected):
        """Each player at the expected share of its level, first at the
        server (exactly: the program's part), then in the sound (the
        measurement's part). A reading that disagrees with a level the
        server confirmed is measured again, and fails only when it
        disagrees every time."""
        self.settle(expected)
        readings = []
        for _ in range(MEASURE_TRIES):
            try:
                ratios = self.ratios()
            except MeasuringFault as fault:
                readings.append(str(fault))
                continue
            wrong = {name: ratios[name] for name, ratio in expected.items()
                     if abs(ratios[name] - ratio) > TOLERANCE}
            if not wrong:
                return
            readings.append(", ".join("%s at %.4f" % item for item in wrong.items()))
        self.fail("the server has every level, the sound disagreed %d times in a row: %s; "
                  "expected %s" % (MEASURE_TRIES, "; ".join(readings),
                                   ", ".join("%s at %.2f" % item for item in expected.items())))

    def assertRestored(self):
        self.assertRatios({name: 1.0 for name in self.players})


DUCKED = '{"ok":true,"bajados":1}\n'
OK = '{"ok":true}\n'
NO_SINK = 4294967295


def linear(raw):
    return (raw / 65536.0) ** 3


class RawLevelsTestCase(unittest.TestCase):
    """Streams read as raw channel volumes from a private server with its
    stream memory. Each test starts clients of its own, copies of the
    stream pool under names no other test uses."""

    @classmethod
    def setUpClass(cls):
        cls.server = SoundServer(("module-stream-restore",))
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.cleanup()

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="appduck-own.")
        self.clients = []
        self.appduck = Appduck(self.server)

    def tearDown(self):
        self.appduck.kill()
        wait_for_no_appduck(self.server)
        for client in self.clients:
            client.kill()
            client.wait()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def sinks(self):
        """{sink input index: sink index}"""
        lines = self.server.pactl("list", "short", "sink-inputs").splitlines()
        return {int(line.split()[0]): int(line.split()[1]) for line in lines}

    def start(self, name, streams=1, prop=None, linked=True):
        """A client `name` playing stereo streams; returns it and the new
        streams' indexes, once they play (or, unlinked, once they exist)."""
        exe = os.path.join(self.workdir, name)
        if not os.path.exists(exe):
            shutil.copy(os.environ["APPDUCK_STREAM_POOL"], exe)
        known = set(self.server.raw_volumes(name))

        def spawn():
            client = subprocess.Popen([exe, str(streams), "-", "2"] + ([prop] if prop else []),
                                      env=self.server.env)
            self.clients.append(client)
            return client
        new = lambda: sorted(set(self.server.raw_volumes(name)) - known)
        ready = lambda: len(new()) == streams and \
            (not linked or all(self.sinks()[i] != NO_SINK for i in new()))
        client = start_client(spawn, ready, "streams of " + name, self.server)
        return client, new()

    def stop(self, client, name, indexes):
        client.kill()
        client.wait()
        self.clients.remove(client)
        wait_until(lambda: not set(indexes) & set(self.server.raw_volumes(name)), 10,
                               "the end of " + name)

    def set_raw(self, index, values):
        self.server.pactl("set-sink-input-volume", str(index), *map(str, values))

    def raw(self, name, indexes):
        volumes = self.server.raw_volumes(name)
        return [volumes.get(index) for index in indexes]

    def next_track(self, client, name, playing):
        """The client's next track, opened before the last one closes, as a
        gapless player's; returns its stream's index once it plays alone."""
        client.send_signal(signal.SIGUSR1)
        fresh = lambda: [i for i in self.server.raw_volumes(name) if i not in playing]
        wait_until(lambda: len(fresh()) == 1 and set(self.server.raw_volumes(name)) ==
                               set(fresh()) and self.sinks()[fresh()[0]] != NO_SINK, 10,
                               "the next track of " + name)
        return fresh()[0]

    def finish(self, appduck, last=True):
        """Ends an appduck by the end of its input; the last one ended, no
        appduck runs any more (keepers included)."""
        appduck.close_input()
        self.assertEqual(appduck.finish()[1], 0)
        if last:
            wait_for_no_appduck(self.server)

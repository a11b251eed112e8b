"""appduck's benchmarks: real time, printed as one Markdown table.

usage: bench.py BUILD_LINUX BUILD_WINDOWS STANDIN_PREFIX

- reply latency through pipes on a private PulseAudio server with 1, 16 and
  64 playing streams, beside what a user would script instead (pactl);
- a session-table rebuild on the simulated platform (Google Benchmark);
- a ramp's duration and step spacing, natively and under Wine;
- replies to `duck` and `restore` of every stream, with 16 and 190 streams;
- the keeper: what starting it adds to the first `duck`, its memory while it
  waits, and how soon it restores after a SIGKILL, natively and under Wine;
- the command-line forms (a hold's duck and restore) beside a bare process
  start, and a resident's memory, natively and under Wine;
- the Windows exe's size and imports, the Linux program's peak memory.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

for tests in ("linux", "wine"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                    "tests", tests))
import sound_world  # noqa: E402
from end_to_end_test import wine_processes  # noqa: E402

rows = []
STREAM_POOL = None


def row(what, figure, beside="", ratio=""):
    rows.append((what, figure, beside, ratio))
    print("  %s: %s %s %s" % (what, figure, beside, ratio), file=sys.stderr)


def ms(seconds):
    return "%.3f ms" % (seconds * 1000)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


class Appduck:
    """appduck through raw pipes, timing each round trip."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, bufsize=0)
        self.pending = b""

    def ask(self, line):
        started = time.perf_counter()
        os.write(self.process.stdin.fileno(), line + b"\n")
        while b"\n" not in self.pending:
            self.pending += os.read(self.process.stdout.fileno(), 1 << 16)
        reply, self.pending = self.pending.split(b"\n", 1)
        return reply, time.perf_counter() - started

    def times(self, line, count):
        self.ask(line)  # warm
        return [self.ask(line)[1] for _ in range(count)]

    def close(self):
        self.process.stdin.close()
        self.process.stdout.read()
        self.process.stdout.close()
        return self.process.wait(30)


def timed_run(command, env, count, check=True):
    times = []
    for _ in range(count):
        started = time.perf_counter()
        subprocess.run(command, env=env, check=check, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - started)
    return times


def start_players(server, workdir, count, first):
    players = []
    for i in range(first, first + count):
        exe = os.path.join(workdir, "player%d" % i)
        shutil.copy("/usr/bin/pacat", exe)
        players.append(subprocess.Popen(
            [exe, "--playback", "--raw", "--device=test"], env=server.env,
            stdin=open("/dev/zero", "rb"), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
    target = first + count
    sound_world.wait_until(
        lambda: len(server.pactl("list", "short", "sink-inputs").splitlines()) >= target,
        30, "%d players" % target)
    return players


def native_figures(appduck_path, server, workdir):
    players = []
    try:
        for streams in (1, 16, 64):
            if streams <= 16:
                players += start_players(server, workdir, streams - len(players), len(players))
            else:
                # A server takes 64 clients: the rest share one.
                players.append(subprocess.Popen([STREAM_POOL, str(streams - len(players))],
                                                env=server.env))
                sound_world.wait_until(lambda: len(server.pactl(
                    "list", "short", "sink-inputs").splitlines()) >= streams, 30, "streams")
            time.sleep(3)  # new streams fill their buffers first: let the server settle
            appduck = Appduck([appduck_path], server.env)
            if streams == 1:
                no = appduck.times(b"hello", 5000)
                row("reply `{\"ok\":false}`, median / p99",
                    "%s / %s" % (ms(statistics.median(no)), ms(percentile(no, 0.99))))
            listed = appduck.times(b"list", 300 if streams < 64 else 100)
            appduck.close()
            if streams == 16:
                everything_replies(appduck_path, server, streams)
            pactl = timed_run(["pactl", "list", "sink-inputs"], server.env, 30)
            row("reply `list`, %d streams, median / p99" % streams,
                "%s / %s" % (ms(statistics.median(listed)), ms(percentile(listed, 0.99))),
                "`pactl list sink-inputs`: %s" % ms(statistics.median(pactl)),
                "%.0f× faster" % (statistics.median(pactl) / statistics.median(listed)))
        index = server.pactl("list", "short", "sink-inputs").split()[0]
        one_set = timed_run(["pactl", "set-sink-input-volume", index, "1.0"], server.env, 30)
        row("one volume change", "inside a ramp step",
            "`pactl set-sink-input-volume`: %s" % ms(statistics.median(one_set)))
        ramp_figures(appduck_path, server)
        peak_memory(appduck_path, server)
        keeper_figures(appduck_path, server)
        linux_hook_figures(appduck_path, server)
        # 190 streams: the rest in one more client, on a second sink.
        server.add_sink("second")
        players.append(subprocess.Popen([STREAM_POOL, "126", "second"], env=server.env))
        sound_world.wait_until(lambda: len(server.pactl(
            "list", "short", "sink-inputs").splitlines()) >= 190, 30, "190 streams")
        time.sleep(3)
        everything_replies(appduck_path, server, 190)
    finally:
        for player in players:
            player.kill()
            player.wait()


def volume_changes(server, index):
    """The moments the server reports a change of the sink input, as they
    come (`pactl subscribe`); returns the growing list and the subscriber
    to kill afterwards."""
    events = []
    subscriber = subprocess.Popen(["pactl", "subscribe"], env=server.env,
                                  stdout=subprocess.PIPE, text=True)

    def listen():
        for line in subscriber.stdout:
            if "'change' on sink-input #%s" % index in line:
                events.append(time.perf_counter())
    threading.Thread(target=listen, daemon=True).start()
    time.sleep(0.5)
    return events, subscriber


def ramp_figures(appduck_path, server):
    """Reply time of a duck, and the spacing of its steps as the server saw
    them (`pactl subscribe` events of the ducked stream)."""
    index = server.pactl("list", "short", "sink-inputs").split()[0]
    events, subscriber = volume_changes(server, index)
    appduck = Appduck([appduck_path], server.env)
    durations, spacings = [], []
    for _ in range(10):
        for command in (b"duck 20 player0", b"restore"):
            first = len(events)
            durations.append(appduck.ask(command)[1])
            time.sleep(0.1)
            steps = events[first:]
            spacings += [b - a for a, b in zip(steps, steps[1:])]
    # A duck that matches nothing is the same rebuild without a ramp.
    rebuild = statistics.median(appduck.times(b"duck 20 nobody", 100))
    appduck.close()
    subscriber.kill()
    subscriber.wait()
    subscriber.stdout.close()
    row("ramp (reply to `duck`/`restore`), Linux, median / worst",
        "%s / %s" % (ms(statistics.median(durations)), ms(max(durations))))
    row("the ramp itself (reply less a rebuild's %s), Linux, median / worst" % ms(rebuild),
        "%s / %s" % (ms(statistics.median(durations) - rebuild), ms(max(durations) - rebuild)))
    if spacings:
        row("ramp step spacing at the server, Linux, median / worst",
            "%s / %s" % (ms(statistics.median(spacings)), ms(max(spacings))),
            "%d steps" % len(spacings))
    scripted = []
    for _ in range(3):
        started = time.perf_counter()
        for step in range(1, 11):
            subprocess.run(["pactl", "set-sink-input-volume", index, "%.2f" % (1 - 0.08 * step)],
                           env=server.env, check=True)
            time.sleep(0.03)
        scripted.append(time.perf_counter() - started)
    server.pactl("set-sink-input-volume", index, "1.0")
    row("a ten-step ramp, median", ms(statistics.median(durations)),
        "ten `pactl set-sink-input-volume` 30 ms apart: %s" % ms(statistics.median(scripted)),
        "%.2f× faster" % (statistics.median(scripted) / statistics.median(durations)))


def everything_replies(appduck_path, server, streams):
    """Replies to a duck and a restore of every stream: each comes once the
    server has acknowledged every level of the ramp."""
    appduck = Appduck([appduck_path], server.env)
    ducks, restores = [], []
    for _ in range(10):
        ducks.append(appduck.ask(b"duck 20 *")[1])
        restores.append(appduck.ask(b"restore")[1])
    appduck.close()
    row("reply to `duck` / `restore` of all %d streams, median" % streams,
        "%s / %s" % (ms(statistics.median(ducks)), ms(statistics.median(restores))))


def children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as listing:
        return [int(child) for child in listing.read().split()]


def keeper_figures(appduck_path, server):
    """What the keeper costs and how soon it acts: the first duck (which
    starts it) beside later ducks, its resident memory while it waits, and
    the time from a SIGKILL of appduck to the first restoring volume set and
    to the last, as `pactl subscribe` sees them."""
    index = server.pactl("list", "short", "sink-inputs").split()[0]
    firsts, laters, resident, first_sets, restored = [], [], [], [], []
    events, subscriber = volume_changes(server, index)
    for _ in range(10):
        appduck = Appduck([appduck_path], server.env)
        appduck.ask(b"list")  # connected and loaded: the first duck differs only by the keeper
        firsts.append(appduck.ask(b"duck 20 player0")[1])
        appduck.ask(b"restore")
        laters.append(appduck.ask(b"duck 20 player0")[1])
        (keeper,) = children(appduck.process.pid)
        with open("/proc/%d/status" % keeper) as status:
            resident.append(int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)))
        time.sleep(0.2)
        seen = len(events)
        killed = time.perf_counter()
        appduck.process.kill()
        appduck.process.wait()
        appduck.process.stdin.close()
        appduck.process.stdout.close()
        try:
            sound_world.wait_until(lambda: len(events) >= seen + 10, 10, "the keeper's ramp")
        except RuntimeError:
            # Seen twice on a loaded machine, not yet explained: say which
            # end went away.
            print("the server %s; the subscriber %s" % (
                "answers" if server.answers() else "does not answer",
                "runs" if subscriber.poll() is None else "ended"), file=sys.stderr)
            raise
        first_sets.append(events[seen] - killed)
        restored.append(events[seen + 9] - killed)
        sound_world.wait_until(lambda: not os.path.exists("/proc/%d" % keeper) or
                               "State:\tZ" in open("/proc/%d/status" % keeper).read(),
                               10, "the keeper's end")
    subscriber.kill()
    subscriber.wait()
    subscriber.stdout.close()
    row("first `duck` (starts the keeper) / a later `duck`, Linux, median",
        "%s / %s" % (ms(statistics.median(firsts)), ms(statistics.median(laters))),
        "", "+%s" % ms(statistics.median(firsts) - statistics.median(laters)))
    row("keeper waiting, resident memory, Linux", "%.1f MiB" % (max(resident) / 1024))
    row("SIGKILL to the keeper's first set / restored level, Linux, median",
        "%s / %s" % (ms(statistics.median(first_sets)), ms(statistics.median(restored))))


def resident_processes(server):
    return [pid for pid in sound_world.appduck_processes(server)
            if b"--resident" in open("/proc/%d/cmdline" % pid, "rb").read()]


def rss_kib(pids):
    total = 0
    for pid in pids:
        with open("/proc/%d/status" % pid) as status:
            total += int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
    return total


def hook_figures(where, appduck, bare, shown, env, residents, memory, names, rounds):
    """The command-line forms: a duck with the hold's resident idle or to be
    started, waiting or not, a restore with nothing held, beside a bare
    process start measured in the same run, and the resident's memory with
    its keeper's. `appduck` and `bare` are commands (`shown` the latter's
    name in the table), `residents()` the hold's resident processes,
    `memory()` their KiB with the keeper's."""
    hook = lambda *args: appduck + list(args)
    gone = lambda: sound_world.wait_until(lambda: not residents(), 10, "no resident")
    bare_times, starting, idle, started_waiting, idle_waiting, nothing, resident_kib = \
        [], [], [], [], [], [], []
    for _ in range(rounds):
        # In each round, so that a load that comes and goes weighs on both.
        bare_times += timed_run(bare, env, 5, check=False)
        gone()
        starting += timed_run(hook("duck", "--as", "bench", "--no-wait", "20", names), env, 1)
        time.sleep(0.5)  # its ramp done: the resident idle
        for _ in range(3):
            idle += timed_run(hook("duck", "--as", "bench", "--no-wait", "20", names), env, 1)
            time.sleep(0.5)  # the hold's next duck ramps too: done before the next
        resident_kib.append(memory())
        timed_run(hook("restore", "--as", "bench"), env, 1)
        gone()
        started_waiting += timed_run(hook("duck", "--as", "bench", "20", names), env, 1)
        timed_run(hook("restore", "--as", "bench"), env, 1)
        gone()
        timed_run(hook("duck", "--as", "bench", "100", names), env, 1)
        idle_waiting += timed_run(hook("duck", "--as", "bench", "20", names), env, 1)
        timed_run(hook("restore", "--as", "bench"), env, 1)
        gone()
        nothing += timed_run(hook("restore", "--as", "bench"), env, 3)
    start = statistics.median(bare_times)
    ramp = 0.3  # seconds
    row("`%s`, a bare process start, %s, median" % (shown, where), ms(start))
    row("`appduck duck --no-wait`, the resident idle, %s, median" % where,
        ms(statistics.median(idle)), "", "%.1f× a bare start" % (statistics.median(idle) / start))
    row("`appduck duck --no-wait` that starts the resident, %s, median" % where,
        ms(statistics.median(starting)))
    row("`appduck duck`, waiting, the resident idle / started, %s, median" % where,
        "%s / %s" % (ms(statistics.median(idle_waiting)), ms(statistics.median(started_waiting))),
        "", "ramp + %s / + %s" % (ms(statistics.median(idle_waiting) - ramp),
                                  ms(statistics.median(started_waiting) - ramp)))
    row("`appduck restore`, nothing held, %s, median" % where, ms(statistics.median(nothing)), "",
        "%.1f× a bare start" % (statistics.median(nothing) / start))
    row("resident and its keeper, resident memory, %s" % where,
        "%.1f MiB" % (max(resident_kib) / 1024))


def linux_hook_figures(appduck_path, server):
    def memory():
        (resident,) = resident_processes(server)
        return rss_kib([resident] + children(resident))
    hook_figures("Linux", [appduck_path], ["/bin/true"], "/bin/true", dict(server.env),
                 lambda: resident_processes(server), memory, "player0", 10)


def peak_memory(appduck_path, server):
    """VmHWM of the program itself once a session is done (wait4's maxrss
    would count the interpreter that forked it)."""
    appduck = Appduck([appduck_path], server.env)
    for _ in range(3):
        for command in (b"list", b"duck 20 player*", b"list", b"restore"):
            appduck.ask(command)
    with open("/proc/%d/status" % appduck.process.pid) as status:
        peak_kib = int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
    appduck.close()
    row("peak memory of the Linux program, 64 streams", "%.1f MiB" % (peak_kib / 1024))


def rebuild_figures(benchmark):
    output = subprocess.run([benchmark, "--benchmark_format=json"], check=True,
                            capture_output=True, text=True).stdout
    for result in json.loads(output)["benchmarks"]:
        sessions, processes = result["name"].split("/")[1:3]
        row("table rebuild, %s sessions, %s processes (simulated)" % (sessions, processes),
            "%.1f µs" % result["real_time"])


def shared_turn_figures(benchmark):
    output = subprocess.run([benchmark, "--benchmark_format=json"], check=True,
                            capture_output=True, text=True).stdout
    for result in json.loads(output)["benchmarks"]:
        row("what sharing adds to a duck and a restore (Linux), sessions: %s"
            % result["name"].split("/")[1], "%.0f µs" % result["real_time"])


def wine_figures(exe, prefix):
    size = os.path.getsize(exe)
    imports = re.findall(r"DLL Name: (\S+)", subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True).stdout)
    row("appduck.exe size; imports", "%.1f KiB; %s" % (size / 1024, ", ".join(imports)))
    work = tempfile.mkdtemp(prefix="appduck-bench-wine.")
    try:
        world = os.path.join(work, "world.txt")
        log = os.path.join(work, "log.txt")
        with open(world, "w") as out:
            out.write("endpoint\nsession 4242 0.5\n")  # no such process: its name is ""
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=",
                   APPDUCK_STANDIN_WORLD="Z:" + world.replace("/", "\\"),
                   APPDUCK_STANDIN_LOG="Z:" + log.replace("/", "\\"))
        # A wineserver started by our pipes' reader would keep them open.
        subprocess.run(["wineserver", "-p"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        appduck = Appduck(["wine", exe], env)
        appduck.ask(b"list")  # COM and the audio service loaded: the keeper is the difference
        first_duck = appduck.ask(b"duck 20 *")[1]
        appduck.ask(b"restore")
        durations = []
        for _ in range(10):
            for command in (b"duck 20 *", b"restore"):
                durations.append(appduck.ask(command)[1])
        no = appduck.times(b"hello", 1000)
        rebuild = statistics.median(appduck.times(b"duck 20 nobody", 100))
        appduck.close()
        first_sets, restored = wine_keeper_times(exe, env, log)
        wine_hook_figures(exe, env, prefix)
        subprocess.run(["wineserver", "-k"], env=env)
        with open(log) as lines:
            sets = [float(line.split()[3]) for line in lines
                    if line.startswith("set ")][:len(durations) * 10]
        spacings = [b - a for i, (a, b) in enumerate(zip(sets, sets[1:])) if (i + 1) % 10]
        row("ramp (reply to `duck`/`restore`), Wine, median / worst",
            "%s / %s" % (ms(statistics.median(durations)), ms(max(durations))))
        row("the ramp itself (reply less a rebuild's %s), Wine, median / worst" % ms(rebuild),
            "%s / %s" % (ms(statistics.median(durations) - rebuild),
                         ms(max(durations) - rebuild)))
        row("ramp step spacing, Wine (stand-in's clock), median / worst",
            "%.3f ms / %.3f ms" % (statistics.median(spacings), max(spacings)),
            "%d steps" % len(spacings))
        row("reply `{\"ok\":false}` under Wine, median / p99",
            "%s / %s" % (ms(statistics.median(no)), ms(percentile(no, 0.99))))
        row("first `duck` (starts the keeper) / later ones, Wine, median",
            "%s / %s" % (ms(first_duck), ms(statistics.median(durations[0::2]))), "",
            "+%s" % ms(first_duck - statistics.median(durations[0::2])))
        row("SIGKILL to the keeper's first set / restored level, Wine, median",
            "%s / %s" % (ms(statistics.median(first_sets) / 1000),
                         ms(statistics.median(restored) / 1000)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def wine_hook_figures(exe, env, prefix):
    """The hook forms of appduck.exe, beside a bare start of a program built
    as it is (the tests' idle process, which exits at once without its
    argument): both go through the same Wine loader and wineserver."""
    bare = os.path.join(os.path.dirname(exe), "..", "tests", "idle_process.exe")
    hook_figures("Wine", ["wine", exe], ["wine", bare], "wine idle_process.exe", env,
                 lambda: wine_processes(prefix, b"--resident"),
                 lambda: rss_kib(wine_processes(prefix, b"--resident") +
                                 wine_processes(prefix, b"--keeper")), "*", 5)


def wine_keeper_times(exe, env, log):
    """Milliseconds from a SIGKILL of appduck.exe's Wine process to its
    keeper's first volume set and to its last, by the stand-in's wall clock."""
    first_sets, restored = [], []
    for _ in range(5):
        appduck = Appduck(["wine", exe], env)
        appduck.ask(b"duck 20 *")
        with open(log) as lines:
            sections = sum(1 for line in lines if line.startswith("process "))
        killed = time.time() * 1000
        appduck.process.kill()
        appduck.process.wait()
        appduck.process.stdin.close()
        appduck.process.stdout.close()

        def keeper_sets():
            with open(log) as lines:
                text = lines.read().split("process ")
            if len(text) <= sections + 1 or "unloaded" not in text[sections + 1]:
                return None
            return [float(line.split()[3]) for line in text[sections + 1].splitlines()
                    if line.startswith("set ")]
        sound_world.wait_until(lambda: keeper_sets() is not None, 30, "the keeper under Wine")
        sets = keeper_sets()
        first_sets.append(sets[0] - killed)
        restored.append(sets[-1] - killed)
    return first_sets, restored


def main():
    global STREAM_POOL
    build_linux, build_windows, prefix = sys.argv[1:4]
    STREAM_POOL = os.path.join(build_linux, "tests", "stream_pool")
    # How the test world tells our processes (a hold's resident) from others.
    sound_world.APPDUCK = os.path.join(build_linux, "app", "appduck")
    server = sound_world.SoundServer()
    workdir = tempfile.mkdtemp(prefix="appduck-bench.")
    print("measuring (about a minute)…", file=sys.stderr)
    try:
        server.start()
        native_figures(os.path.join(build_linux, "app", "appduck"), server, workdir)
    finally:
        server.cleanup()
        shutil.rmtree(workdir, ignore_errors=True)
    rebuild_figures(os.path.join(build_linux, "bench", "rebuild_benchmark"))
    shared_turn_figures(os.path.join(build_linux, "bench", "shared_turn_benchmark"))
    wine_figures(os.path.join(build_windows, "app", "appduck.exe"), prefix)
    print("| measure | appduck | what a user would script instead | ratio |")
    print("|---|---|---|---|")
    for what, figure, beside, ratio in rows:
        print("| %s | %s | %s | %s |" % (what, figure, beside, ratio))


if __name__ == "__main__":
    main()

"""appduck's benchmarks: real time, printed as one Markdown table.

usage: bench.py BUILD_LINUX BUILD_WINDOWS STANDIN_PREFIX

- reply latency through pipes on a private PulseAudio server with 1, 16 and
  64 playing streams, beside what a user would script instead (pactl);
- a session-table rebuild on the simulated platform (Google Benchmark);
- a ramp's duration and step spacing, natively and under Wine;
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                "tests", "linux"))
import sound_world  # noqa: E402

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


def timed_run(command, env, count):
    times = []
    for _ in range(count):
        started = time.perf_counter()
        subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
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
    finally:
        for player in players:
            player.kill()
            player.wait()


def ramp_figures(appduck_path, server):
    """Reply time of a duck, and the spacing of its steps as the server saw
    them (`pactl subscribe` events of the ducked stream)."""
    index = server.pactl("list", "short", "sink-inputs").split()[0]
    events = []
    subscriber = subprocess.Popen(["pactl", "subscribe"], env=server.env,
                                  stdout=subprocess.PIPE, text=True)

    def listen():
        for line in subscriber.stdout:
            if "'change' on sink-input #%s" % index in line:
                events.append(time.perf_counter())
    listener = threading.Thread(target=listen, daemon=True)
    listener.start()
    time.sleep(0.5)
    appduck = Appduck([appduck_path], server.env)
    durations, spacings = [], []
    for _ in range(10):
        for command in (b"duck 20 player0", b"restore"):
            first = len(events)
            durations.append(appduck.ask(command)[1])
            time.sleep(0.1)
            steps = events[first:]
            spacings += [b - a for a, b in zip(steps, steps[1:])]
    appduck.close()
    subscriber.kill()
    subscriber.wait()
    subscriber.stdout.close()
    row("ramp (reply to `duck`/`restore`), Linux, median / worst",
        "%s / %s" % (ms(statistics.median(durations)), ms(max(durations))))
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
        durations = []
        for _ in range(10):
            for command in (b"duck 20 *", b"restore"):
                durations.append(appduck.ask(command)[1])
        no = appduck.times(b"hello", 1000)
        appduck.close()
        subprocess.run(["wineserver", "-k"], env=env)
        sets = [float(line.split()[3]) for line in open(log) if line.startswith("set ")]
        spacings = [b - a for i, (a, b) in enumerate(zip(sets, sets[1:])) if (i + 1) % 10]
        row("ramp (reply to `duck`/`restore`), Wine, median / worst",
            "%s / %s" % (ms(statistics.median(durations)), ms(max(durations))))
        row("ramp step spacing, Wine (stand-in's clock), median / worst",
            "%.3f ms / %.3f ms" % (statistics.median(spacings), max(spacings)),
            "%d steps" % len(spacings))
        row("reply `{\"ok\":false}` under Wine, median / p99",
            "%s / %s" % (ms(statistics.median(no)), ms(percentile(no, 0.99))))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    global STREAM_POOL
    build_linux, build_windows, prefix = sys.argv[1:4]
    STREAM_POOL = os.path.join(build_linux, "tests", "stream_pool")
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
    wine_figures(os.path.join(build_windows, "app", "appduck.exe"), prefix)
    print("| measure | appduck | what a user would script instead | ratio |")
    print("|---|---|---|---|")
    for what, figure, beside, ratio in rows:
        print("| %s | %s | %s | %s |" % (what, figure, beside, ratio))


if __name__ == "__main__":
    main()

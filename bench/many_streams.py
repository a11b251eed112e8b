"""Replies to `duck` and `restore` with 190 streams on two sinks, on
PulseAudio and on PipeWire, with the machine idle and with every core kept
busy: median and worst of ten rounds each, as one Markdown table. Beside
them, what the server itself takes: a bare client's wave of 190 volume
changes (bench/volume_wave), and the reply target it gives, 300 ms (the
ramp) plus 1.5 times the worst wave.

usage: many_streams.py BUILD_LINUX [ROUNDS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                "tests", "linux"))
import sound_world  # noqa: E402

STREAMS = 190


def start_pools(server, workdir, pool):
    server.add_sink("second")
    # A PipeWire sink mixes at most 128 streams.
    split = (125, 65) if server.flavour() == "pipewire" else (150, 40)
    pools = []
    for name, count, sink in (("pool_a", split[0], "test"), ("pool_b", split[1], "second")):
        exe = os.path.join(workdir, name)
        shutil.copy(pool, exe)
        pools.append(subprocess.Popen([exe, str(count), sink], env=server.env))
    unlinked = str(2 ** 32 - 1)
    sound_world.wait_until(lambda: sum(
        1 for line in server.pactl("list", "short", "sink-inputs").splitlines()
        if line.split()[1] != unlinked) == STREAMS, 30, "%d streams on sinks" % STREAMS)
    time.sleep(2)  # new streams fill their buffers first
    return pools


def waves(build, server):
    done = subprocess.run([os.path.join(build, "bench", "volume_wave"), "8"], env=server.env,
                          capture_output=True, text=True, check=True, timeout=120)
    return [float(line) / 1000 for line in done.stdout.split()]


def replies(appduck_path, server, rounds):
    appduck = sound_world.Appduck(server)
    times = {"duck 20 pool_*": [], "restore": []}  # in seconds
    try:
        for _ in range(rounds):
            for command in times:
                started = time.monotonic()
                appduck.ask(command)
                times[command].append(time.monotonic() - started)
        appduck.close_input()
        appduck.finish(30)
    finally:
        appduck.kill()
    return times


def measure(build, appduck_path, pool, flavour, busy, rounds):
    os.environ["SOUND_SERVER"] = flavour
    server = sound_world.SoundServer()
    workdir = tempfile.mkdtemp(prefix="appduck-bench.")
    pools, burners = [], []
    try:
        server.start()
        pools = start_pools(server, workdir, pool)
        if busy:
            burners = [subprocess.Popen(["sh", "-c", "while :; do :; done"])
                       for _ in range(os.cpu_count() or 2)]
        return replies(appduck_path, server, rounds), waves(build, server)
    finally:
        for process in burners + pools:
            process.kill()
            process.wait()
        server.cleanup()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    appduck_path = os.path.join(build, "app", "appduck")
    sound_world.APPDUCK = os.path.abspath(appduck_path)
    pool = os.path.join(build, "tests", "stream_pool")
    print("| server | machine | `duck` median / worst | `restore` median / worst "
          "| one wave, median / worst | target |")
    print("|---|---|---|---|---|---|")
    for flavour in ("pulseaudio", "pipewire"):
        for busy in (False, True):
            times, wave = measure(build, appduck_path, pool, flavour, busy, rounds)
            cells = ["%.0f / %.0f ms" % (statistics.median(t) * 1000, max(t) * 1000)
                     for t in list(times.values()) + [wave]]
            print("| %s | %s | %s | %s | %s | %.0f ms |"
                  % (flavour, "every core busy" if busy else "idle", cells[0], cells[1],
                     cells[2], 300 + 1.5 * max(wave) * 1000), flush=True)


if __name__ == "__main__":
    main()

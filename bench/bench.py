#!/usr/bin/env python3
"""Measures qza_wdir at its main job next to the floor and the shell idiom.

Contenders: the service handling valid alarm files; the floor (bench_floor:
inotify plus posix_spawn, reading nothing); the shell idiom (inotifywait piped
into a while loop). Every contender starts the same tiny child (bench_child),
which records its start time (CLOCK_MONOTONIC) in a log file. Files are
written elsewhere and renamed into the watched directory.

Prints a table and one JSON line. Reports; never fails on a figure.
"""
import argparse
import ctypes
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def now_ns():
    return time.monotonic_ns()


def cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:  # a short-lived member of the shell idiom's group has ended
        return 0
    return int(fields[11]) + int(fields[12])  # utime + stime


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getpgid(int(entry)) == pgid:
                    members.append(int(entry))
            except OSError:
                pass
    return members


class ChildLog:
    """Reads the child's records as they come: id -> start time. Waits on
    inotify, so that the bench itself takes no CPU from the contenders while
    they work; the child records its own start, so waking late costs nothing."""

    _libc = ctypes.CDLL(None, use_errno=True)
    IN_MODIFY = 0x2

    def __init__(self, path, id_of):
        self.path, self.id_of, self.offset, self.seen = path, id_of, 0, {}
        open(path, "a").close()
        self.fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        self._libc.inotify_add_watch(self.fd, path.encode(), self.IN_MODIFY)

    def poll(self):
        with open(self.path) as f:
            f.seek(self.offset)
            data = f.read()
        complete = data.rfind("\n") + 1
        self.offset += complete
        for line in data[:complete].splitlines():
            parts = line.split(" ")
            self.seen[self.id_of(parts[1:])] = int(parts[0])

    def wait_for(self, ids, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            if all(i in self.seen for i in ids):
                return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if select.select([self.fd], [], [], min(left, 0.1))[0]:
                try:
                    os.read(self.fd, 65536)
                except BlockingIOError:
                    pass


class Contender:
    def __init__(self, name, root):
        self.name, self.root = name, root
        self.spool = os.path.join(root, "spool")
        self.stage = os.path.join(root, "stage")
        for d in (self.spool, self.stage):
            os.makedirs(d, exist_ok=True)
        self.log_path = os.path.join(root, "child.log")
        self.proc = None

    def env(self):
        env = dict(os.environ)
        env["BENCH_LOG"] = self.log_path
        return env

    def file_name(self, i):
        return f"qza1k{i}.in"

    def drop(self, name):
        """Renames a staged file into place; returns the moment of the rename."""
        t0 = now_ns()
        os.rename(os.path.join(self.stage, name), os.path.join(self.spool, name))
        return t0

    def stop(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


class Service(Contender):
    def __init__(self, root, tools, archives=0, earlier=0):
        super().__init__("service", root)
        self.tools = tools
        for d in ("ack", "db", "bin"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        shutil.copy(tools["child"], os.path.join(root, "bin", "QZARUN.CMD"))
        with open(os.path.join(root, "qza_wdir.ini"), "w") as f:
            f.write("[Server]\nNumber=1\nWaitForSec=5\nSleepAfterError=1200\n"
                    "[Pathnames]\nWatchPath=spool/\nAckPath=ack/\n"
                    "WatchFiles=spool/qza%ik*.in\nWatchDogFiles=spool/qza%ik*.dog\n"
                    "WatchJobFiles=spool/qz*.job\nJobPath=spool/\n"
                    "WatchTtsFiles=spool/qz*.tts\nTtsPath=spool/\nTtsLogPath=ack/\n"
                    "SvoxPath=svox/\n[Alarm]\nUseVoxFile=0\n"
                    "[SVoxSettings]\nVoice=en\nSpeed=100\nPitch=100\n")
        with open(os.path.join(root, "qzalarm.ini"), "w") as f:
            f.write("[qzawrdb]\nDbPath=db/\n")
        month = time.strftime("%y%m")
        for seq in range(1, archives + 1):
            open(os.path.join(self.spool, f"{month}_1{seq:02d}.alr"), "w").close()
        # Archives of earlier months: the spool directory of an installation
        # that has run for years.
        for seq in range(earlier):
            old = f"{(seq // 50000) % 20 + 1:02d}{seq // 10000 % 12 + 1:02d}"  # years 01..20
            open(os.path.join(self.spool, f"{old}_1{seq % 10000 + 1:02d}.alr"), "w").close()
        self.out_path = os.path.join(root, "out.txt")
        self.log = ChildLog(self.log_path, lambda args: args[1])  # the message id

    def stage_files(self, ids):
        for i in ids:
            subprocess.run([self.tools["mkalarm"], "--type", "ALARM", "--group", "Bench",
                            "--text", "Benchmark alarm", "--console-id", "1",
                            "--message-id", f"M{i}", "--dir", self.stage,
                            "--file", self.file_name(i)], check=True)

    def start(self):
        env = self.env()
        env["PATH"] = os.path.join(self.root, "bin") + ":" + env["PATH"]
        out = open(self.out_path, "w")
        self.proc = subprocess.Popen([self.tools["service"]], cwd=self.root, env=env,
                                     stdout=out, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        deadline = time.monotonic() + 10
        while "Ready\n" not in open(self.out_path).read():
            if time.monotonic() > deadline:
                raise RuntimeError("the service did not start")
            time.sleep(0.01)

    def ident(self, i):
        return f"M{i}"

    def pids(self):
        return [self.proc.pid]


class Floor(Contender):
    def __init__(self, root, tools):
        super().__init__("floor", root)
        self.tools = tools
        self.log = ChildLog(self.log_path, lambda args: os.path.basename(args[0]))
        self.template = None

    def stage_files(self, ids):
        for i in ids:
            shutil.copy(self.template, os.path.join(self.stage, self.file_name(i)))

    def start(self):
        self.proc = subprocess.Popen([self.tools["floor"], self.spool, self.tools["child"]],
                                     env=self.env(), start_new_session=True)
        time.sleep(0.2)

    def ident(self, i):
        return self.file_name(i)

    def pids(self):
        return [self.proc.pid]


class ShellIdiom(Floor):
    def __init__(self, root, tools):
        super().__init__(root, tools)
        self.name = "shell"

    def start(self):
        script = ('inotifywait -m -e moved_to,close_write --format %w%f "$1" | '
                  'while read f; do "$2" "$f"; done')
        self.proc = subprocess.Popen(["bash", "-c", script, "bash", self.spool,
                                      self.tools["child"]], env=self.env(),
                                     stderr=subprocess.PIPE, start_new_session=True)
        while b"Watches established" not in self.proc.stderr.readline():
            pass

    def pids(self):
        return group_members(self.proc.pid)


class HostileSpeechService(Service):
    """A service whose speech writer does its worst while alarms arrive: a
    job of 100 entries for a synthesiser that sleeps, 200 refused jobs (second
    names of one file) in the spool, and a WAV that cannot be deleted."""

    def __init__(self, root, tools):
        super().__init__(root, tools)
        self.name = "hostile speech"
        svox = os.path.join(root, "svox")
        os.makedirs(svox, exist_ok=True)
        self.synth_pids = os.path.join(root, "synth.pids")
        with open(os.path.join(svox, "svox.exe"), "w") as f:
            f.write(f"#!/bin/sh\necho $$ >> {self.synth_pids}\nexec sleep 600\n")
        os.chmod(os.path.join(svox, "svox.exe"), 0o755)
        with open(os.path.join(root, "qza_wdir.ini"), "a") as f:
            f.write("MaxSeconds=1000\nMaxJobSeconds=100000\n")
        stuck = os.path.join(root, "sounds", "stuck.wav")
        os.makedirs(stuck, exist_ok=True)
        open(os.path.join(stuck, "keep"), "w").close()
        refused = os.path.join(root, "refused.txt")
        with open(refused, "w") as f:
            f.write("[File1]\nFile=a.wav\nText=A\n")
        for i in range(200):
            os.link(refused, os.path.join(self.spool, f"qzrefused{i}.tts"))

    def attack(self):
        sounds = os.path.join(self.root, "sounds")
        entries = "".join(f"[File{n}]\nFile=e{n}.wav\nText=Entry {n}\nDir={sounds}\n"
                          for n in range(1, 100))
        jobs = {"qzstuck.tts": f"[File1]\nFile=stuck.wav\nDir={sounds}\n",
                "qzlong.tts": entries}
        for name, text in jobs.items():
            with open(os.path.join(self.stage, name), "w") as f:
                f.write(text)
            os.rename(os.path.join(self.stage, name), os.path.join(self.spool, name))
        # The lane first refuses the 200 jobs found at the start (each after
        # the wait for its writer), then starts the long job's synthesiser.
        deadline = time.monotonic() + 120
        while not os.path.exists(self.synth_pids):  # the synthesiser hangs now
            if time.monotonic() > deadline:
                raise RuntimeError("the hostile speech job did not start its synthesiser")
            time.sleep(0.01)

    def stop(self):
        super().stop()
        if os.path.exists(self.synth_pids):
            for line in open(self.synth_pids):
                try:
                    os.kill(int(line), signal.SIGKILL)
                except (ValueError, ProcessLookupError):
                    pass


def started_service(root, tools, archives=0, earlier=0):
    """A service installed in `root`, started and ready."""
    service = Service(root, tools, archives, earlier)
    service.start()
    return service


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def measure_latency(contenders, count):
    for c in contenders:
        c.stage_files(range(count))
    latencies = {c.name: [] for c in contenders}
    for i in range(count):
        for c in contenders:  # interleaved: one file per contender in turn
            name = c.file_name(i)
            t0 = c.drop(name)
            if not c.log.wait_for([c.ident(i)]):
                raise RuntimeError(f"{c.name}: no child for {name}")
            latencies[c.name].append((c.log.seen[c.ident(i)] - t0) / 1e6)
    return latencies


def measure_burst(c, count, offset):
    ids = range(offset, offset + count)
    c.stage_files(ids)
    ticks = sum(cpu_ticks(p) for p in c.pids())
    first = now_ns()
    for i in ids:
        c.drop(c.file_name(i))
    if not c.log.wait_for([c.ident(i) for i in ids], timeout=300):
        raise RuntimeError(f"{c.name}: burst incomplete")
    last = max(c.log.seen[c.ident(i)] for i in ids)
    ticks = sum(cpu_ticks(p) for p in c.pids()) - ticks
    seconds = (last - first) / 1e9
    return {"files_per_s": count / seconds, "seconds": seconds,
            "cpu_ms_per_file": ticks * 1000.0 / CLK_TCK / count}


def measure_long_burst(c, count, offset, block=1000):
    """A burst of `count` files: the rate of its first and of its last block."""
    ids = list(range(offset, offset + count))
    c.stage_files(ids)
    first = now_ns()
    for i in ids:
        c.drop(c.file_name(i))
    if not c.log.wait_for([c.ident(i) for i in ids], timeout=1200):
        raise RuntimeError(f"{c.name}: long burst incomplete")
    starts = sorted(c.log.seen[c.ident(i)] for i in ids)
    head = (starts[block - 1] - first) / 1e9
    tail = (starts[-1] - starts[-block - 1]) / 1e9
    return {"first_block_per_s": block / head, "last_block_per_s": block / tail,
            "seconds": (starts[-1] - first) / 1e9, "count": count}


def measure_idle(service, seconds):
    before = cpu_ticks(service.proc.pid)
    timeouts = open(service.out_path).read().count("Timeout\n")
    time.sleep(seconds)
    return {"cpu_ticks": cpu_ticks(service.proc.pid) - before,
            "wakeups": open(service.out_path).read().count("Timeout\n") - timeouts}


def measure_file_creation(directory, count=300):
    """CPU time (user and system, this thread) per new empty file in
    `directory`, in microseconds. The files stay until the end: freeing them
    now would slow the next creations in the same place. On ext4 without a
    journal, an inode freed less than a minute ago (more while its inode-table
    block is dirty) is skipped one by one by every later creation in its block
    group, so this figure shows how much the file system's recent past (a test
    suite, another benchmark's clean-up) weighs on every file the service
    creates, as it makes one message file per alarm."""
    os.makedirs(directory, exist_ok=True)
    start = time.thread_time_ns()
    for i in range(count):
        os.close(os.open(os.path.join(directory, f"f{i}"), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    return (time.thread_time_ns() - start) / count / 1e3


def measure_growth(base, tools, cases, count, idle_s):
    """Time per alarm for each (label, archives of the month, earlier ones):
    the services of all cases run side by side and get their files in turn,
    as the latency contenders do, so that the machine's drifts fall on every
    case alike. Returns the median and the mean per case, and the idle cost
    in the last (the largest) spool."""
    services = []
    try:
        for label, archives, earlier in cases:
            services.append(started_service(os.path.join(base, f"growth-{label}"), tools,
                                            archives, earlier))
            services[-1].name = label
        time.sleep(0.5)  # the cost per alarm, not the start-up's one listing
        latencies = measure_latency(services, count)
        idle = measure_idle(services[-1], idle_s)
        idle.update(seconds=idle_s, spool=cases[-1][0])
    finally:
        for service in services:
            service.stop()
    # The spools are kept until the end: freeing thousands of inodes now
    # would make the file system search further for every file created next.
    growth = {label: {"median": statistics.median(v), "mean": statistics.mean(v)}
              for label, v in latencies.items()}
    return growth, idle


def measure_bursts(make_service, others, count, rounds, offset):
    """`rounds` bursts of `count` files for each contender, taken in turn (a
    fresh service, in a fresh month, for each of its bursts), so that a slow
    spell of the machine falls on every contender alike. Each contender's
    figures are the medians of its rounds."""
    runs = {}
    for r in range(rounds):
        service = make_service(r)
        try:
            for c in [service] + others:
                runs.setdefault(c.name, []).append(
                    measure_burst(c, count, offset + r * count))
            rss = {c.name: sum(vm_hwm_kib(p) for p in c.pids()) for c in [service] + others}
        finally:
            service.stop()
    return ({name: {key: statistics.median(run[key] for run in v) for key in v[0]}
             for name, v in runs.items()}, rss)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build directory with the binaries")
    parser.add_argument("--short", action="store_true", help="few files: proves it still works")
    args = parser.parse_args()
    tools = {"service": os.path.join(args.build, "qza_wdir"),
             "mkalarm": os.path.join(args.build, "qza_mkalarm"),
             "child": os.path.join(args.build, "bench", "bench_child"),
             "floor": os.path.join(args.build, "bench", "bench_floor")}
    n_latency, n_burst, idle_s = (20, 100, 6) if args.short else (200, 1000, 30)
    if args.short:
        growth_cases = [("none", 0, 0), ("100 of the month", 100, 0),
                        ("1,000 earlier", 0, 1000)]
    else:
        growth_cases = [("none", 0, 0), ("1,000 of the month", 1000, 0),
                        ("10,000 of the month", 10000, 0),
                        ("100,000 of earlier months", 0, 100000)]
    n_growth = 10 if args.short else 200
    n_rounds = 3

    base = tempfile.mkdtemp(prefix="qza_bench_")
    service = Service(os.path.join(base, "service"), tools)
    floor = Floor(os.path.join(base, "floor"), tools)
    shell = ShellIdiom(os.path.join(base, "shell"), tools)
    service.stage_files([-1])
    floor.template = shell.template = os.path.join(service.stage, service.file_name(-1))
    others = [floor, shell]
    results = {}
    try:
        for c in [service] + others:
            c.start()
        latency = measure_latency([service] + others, n_latency)
        results["latency_ms"] = {
            name: {"median": statistics.median(v), "p95": percentile(v, 95),
                   "p99": percentile(v, 99)} for name, v in latency.items()}
        service.stop()
        hostile = HostileSpeechService(os.path.join(base, "service-hostile"), tools)
        try:
            hostile.start()
            hostile.attack()
            v = measure_latency([hostile], n_latency)["hostile speech"]
        finally:
            hostile.stop()
        results["hostile_speech_latency_ms"] = {
            "median": statistics.median(v), "p95": percentile(v, 95), "p99": percentile(v, 99)}
        results["file_creation_us"] = measure_file_creation(os.path.join(base, "probe"))
        results["burst"], results["peak_rss_kib"] = measure_bursts(
            lambda r: started_service(os.path.join(base, f"service-burst-{r}"), tools),
            others, n_burst, n_rounds, 100000)
        results["burst_rounds"] = n_rounds
        service = started_service(os.path.join(base, "service-idle"), tools)
        results["idle"] = measure_idle(service, idle_s)
        results["idle"]["seconds"] = idle_s
        if not args.short:  # the 10,000-file burst, in a fresh month again
            service.stop()
            service = started_service(os.path.join(base, "service-long"), tools)
            results["long_burst"] = measure_long_burst(service, 10000, 200000)
    finally:
        for c in [service] + others:
            c.stop()
    results["growth_ms_per_alarm"], results["idle_large"] = measure_growth(
        base, tools, growth_cases, n_growth, idle_s)
    shutil.rmtree(base, ignore_errors=True)
    report(results, n_latency, n_burst)


def report(r, n_latency, n_burst):
    lat, burst = r["latency_ms"], r["burst"]
    s, f, sh = lat["service"], lat["floor"], lat["shell"]
    ratio = lambda a, b: a / b if b else float("inf")
    print(f"Latency, rename to child start ({n_latency} files each, ms):")
    print(f"  {'':10} {'median':>8} {'p95':>8} {'p99':>8}")
    for name in ("service", "floor", "shell"):
        v = lat[name]
        print(f"  {name:10} {v['median']:8.3f} {v['p95']:8.3f} {v['p99']:8.3f}")
    print(f"  service/floor median {ratio(s['median'], f['median']):.2f} (target <= 1.2), "
          f"p99 {ratio(s['p99'], f['p99']):.2f} (target <= 1.5); "
          f"service/shell median {ratio(s['median'], sh['median']):.2f} (target < 1)")
    h = r["hostile_speech_latency_ms"]
    print(f"  while a hostile speech writer does its worst: median {h['median']:.3f}, "
          f"p99 {h['p99']:.3f}; x quiet median {ratio(h['median'], s['median']):.2f} "
          f"(target <= 1.2), p99 {ratio(h['p99'], s['p99']):.2f} (target <= 1.5)")
    print(f"Burst of {n_burst} files (median of {r['burst_rounds']} rounds each, taken in turn):")
    for name in ("service", "floor", "shell"):
        b = burst[name]
        print(f"  {name:10} {b['files_per_s']:9.0f} files/s  "
              f"cpu {b['cpu_ms_per_file']:.3f} ms/file")
    print(f"  service/floor {ratio(burst['service']['files_per_s'], burst['floor']['files_per_s']):.2f}"
          f" (target >= 0.6), service/shell "
          f"{ratio(burst['service']['files_per_s'], burst['shell']['files_per_s']):.2f}")
    print(f"  creating one empty file here just before: {r['file_creation_us']:.0f} us of CPU "
          f"(the service makes one message file per alarm; the others make none)")
    idle = r["idle"]
    print(f"Idle {idle['seconds']} s with WaitForSec 5: {idle['cpu_ticks']} CPU ticks "
          f"(target 0), {idle['wakeups']} time-outs")
    large = r["idle_large"]
    print(f"Idle {large['seconds']} s with {large['spool']}: {large['cpu_ticks']} CPU ticks "
          f"(target 0), {large['wakeups']} time-outs")
    rss = r["peak_rss_kib"]
    print(f"Peak resident set (VmHWM): service {rss['service'] / 1024:.2f} MiB (target < 4), "
          f"floor {rss['floor'] / 1024:.2f} MiB, shell {rss['shell'] / 1024:.2f} MiB")
    if "long_burst" in r:
        lb = r["long_burst"]
        print(f"Burst of {lb['count']} files in {lb['seconds']:.1f} s: first thousand "
              f"{lb['first_block_per_s']:.0f}/s, last thousand {lb['last_block_per_s']:.0f}/s, "
              f"ratio {ratio(lb['last_block_per_s'], lb['first_block_per_s']):.2f} "
              f"(target >= 0.8)")
    print("Time per alarm with archives present:")
    growth = r["growth_ms_per_alarm"]
    none = growth["none"]
    for label, ms in growth.items():
        print(f"  {label:28} median {ms['median']:.3f} ms ({ratio(ms['median'], none['median']):.2f}"
              f" x none; target <= 1.2), mean {ms['mean']:.3f} ms "
              f"({ratio(ms['mean'], none['mean']):.2f} x none)")
    print(json.dumps(r, sort_keys=True))


if __name__ == "__main__":
    sys.exit(main())

"""The figures, in groups. A group runs its measurements in the same
invocation (interleaved in rounds where a figure is compared with another),
and is what is run again when the machine was disturbed."""
import collections
import os
import shutil

from . import processes, site, stats

SRC_BYTES = 2048
SNAPSHOT_BYTES = 4 * 1024 * 1024
GATE_BOUND = 64        # maxThread in the INI file: far above any thread count here
SCRIPT_WORKERS = 4     # browser-server --workers for the script engine
FETCH_THREADS = 16
RENDER_IN_FLIGHT = 4


class Context:
    def __init__(self, build, temporary, python, scale, engines, bench_dir):
        self.build = build
        self.temporary = temporary
        self.python = python
        self.scale = scale
        self.engines = engines
        self.bench_dir = bench_dir
        self.paths = {}
        self.nginx = None
        self._servers = {}
        self._count = 0

    def reps(self, full, least=20):
        return max(least, int(full * self.scale))

    def program(self, name):
        path = os.path.join(self.build, "bench", name)
        if not os.path.exists(path):
            raise processes.BenchError("%s is not built" % name)
        return path

    def out(self, name):
        self._count += 1
        return os.path.join(self.temporary, "%03d-%s.json" % (self._count, name))

    def ini(self, key, level=None):
        """INI file of the module with engine key `key`: the gate bound
        GATE_BOUND, and a log level when given."""
        path = os.path.join(self.temporary, "%s-%s.ini" % (key, level or "default"))
        with open(path, "w") as out:
            out.write("[Tarv.browser.%s.Client]\nmaxThread=%d\n" % (key, GATE_BOUND))
            if level:
                out.write("logLevel=%s\n" % level)
        return path

    def module_env(self, module="FetchBridge", level=None):
        key = "curl" if module == "FetchBridge" else "webkit"
        return {"PYTHONPATH": os.path.join(self.build, "python"),
                "TARV_BROWSER_%s_CONFIG" % key.upper(): self.ini(key, level)}

    def server(self, engine, workers, extra=()):
        if engine not in self._servers:
            log = os.path.join(self.temporary, "server-%s.log" % engine)
            self._servers[engine] = processes.BrowserServer(
                os.path.join(self.build, "server", "browser-server"), engine, workers, log, extra)
        return self._servers[engine]

    def close(self):
        for server in self._servers.values():
            server.stop()
        self._servers.clear()
        if self.nginx:
            self.nginx.stop()
            self.nginx = None


# --- the measurements -------------------------------------------------------

def floor(ctx, mode, reps, warmup, **extra):
    command = [ctx.program("bench_floor"), "--mode", mode, "--warmup", str(warmup), "--reps", str(reps)]
    for key, value in extra.items():
        command += ["--" + key.replace("_", "-"), str(value)]
    out = ctx.out("floor-" + mode)
    return processes.run_program(command + ["--out", out], out)[0]


def facade(ctx, url, threads, reps, warmup, level=None, **expect):
    server = ctx.server("script", SCRIPT_WORKERS)
    out = ctx.out("facade")
    command = [ctx.program("bench_facade"), "--pid", str(server.pid), "--url", url, "--threads", str(threads),
               "--warmup", str(warmup), "--reps", str(reps), "--out", out]
    for key, value in expect.items():
        command += ["--" + key.replace("_", "-"), str(value)]
    return processes.run_program(command, out, env=ctx.module_env(level=level))[0]


def python_roundtrip(ctx, url, threads, reps, warmup, **expect):
    server = ctx.server("script", SCRIPT_WORKERS)
    out = ctx.out("python")
    command = [ctx.python, os.path.join(ctx.bench_dir, "clients", "pyclient.py"), "roundtrip", "--module",
               "FetchBridge", "--pid", str(server.pid), "--url", url, "--threads", str(threads), "--warmup",
               str(warmup), "--reps", str(reps), "--out", out]
    for key, value in expect.items():
        command += ["--" + key.replace("_", "-"), str(value)]
    return processes.run_program(command, out, env=ctx.module_env())[0]


def phases(ctx, url, reps, warmup, src_bytes=-1):
    server = ctx.server("script", SCRIPT_WORKERS)
    out = ctx.out("phases")
    command = [ctx.program("bench_phases"), "--pid", str(server.pid), "--url", url, "--warmup", str(warmup),
               "--reps", str(reps), "--src-bytes", str(src_bytes), "--out", out]
    return processes.run_program(command, out)


def syscalls(ctx, reps):
    """System calls per round trip on the client's side (strace -c on the
    measuring process alone: the server and the responder are not traced)."""
    if not shutil.which("strace"):
        return None
    url = "script://size/%d" % SRC_BYTES
    server = ctx.server("script", SCRIPT_WORKERS)
    runs = {
        "system": ([ctx.program("bench_facade"), "--pid", str(server.pid), "--url", url, "--threads", "1",
                    "--src-bytes", str(SRC_BYTES)], ctx.module_env()),
        "floor": ([ctx.program("bench_floor"), "--mode", "protocol", "--src-bytes", str(SRC_BYTES)], None),
    }
    counts = collections.OrderedDict()
    for side, (command, env) in runs.items():
        # The difference of two runs leaves the start-up and the exit out.
        totals = []
        for n in (0, reps):
            out, trace = ctx.out("syscalls"), ctx.out("strace") + ".txt"
            processes.run_program(["strace", "-c", "-o", trace] + command + ["--warmup", "0", "--reps", str(n),
                                                                           "--out", out], out, env=env)
            totals.append(_strace_counts(trace))
        for name in set(totals[0]) | set(totals[1]):
            per = (totals[1].get(name, 0) - totals[0].get(name, 0)) / float(reps)
            if per >= 0.05:
                counts.setdefault(name, {})[side] = round(per, 1)
    return sorted(([name, v.get("system", 0.0), v.get("floor", 0.0)] for name, v in counts.items()),
                  key=lambda row: -row[1])


def _strace_counts(path):
    counts = {}
    with open(path) as table:
        for line in table:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(fields) in (5, 6) and fields[3].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    return counts


def http_client(ctx, reps, warmup):
    out = ctx.out("http")
    command = [ctx.python, os.path.join(ctx.bench_dir, "clients", "pyclient.py"), "http", "--url",
               ctx.nginx.url(site.PAGE), "--warmup", str(warmup), "--reps", str(reps), "--bytes", str(SRC_BYTES),
               "--name", "http.client", "--out", out]
    return processes.run_program(command, out)[0]


def libcurl(ctx, reps, warmup):
    out = ctx.out("libcurl")
    command = [ctx.program("bench_curl"), "--url", ctx.nginx.url(site.PAGE), "--warmup", str(warmup), "--reps",
               str(reps), "--bytes", str(SRC_BYTES), "--out", out]
    return processes.run_program(command, out)[0]


# --- rows -------------------------------------------------------------------

def latency_row(fig, key, label, merged):
    """A row of round-trip times, in microseconds."""
    dist = stats.distribution([d / 1000.0 for d in merged["durations_ns"]])
    return dict(fig=fig, key=key, label=label, unit="us", errors=merged["errors"], **dist)


def rate_row(fig, key, label, merged):
    """A row of round trips per second: the rate in equal windows of the
    run; the total rate and the latencies go along."""
    rates = stats.window_rates(merged["ends_ns"])
    dist = stats.distribution(rates)
    total = len(merged["durations_ns"]) / (merged["wall_ns"] / 1e9) if merged["wall_ns"] else None
    latency = stats.distribution([d / 1000.0 for d in merged["durations_ns"]])
    return dict(fig=fig, key=key, label=label, unit="rt/s", errors=merged["errors"], threads=merged["threads"],
                total_rate=total, latency_us=latency, round_trips=len(merged["durations_ns"]), **dist)


def pages_row(fig, key, label, merged):
    """A row of pages per second: the rate over each group of consecutive
    completions (one twentieth of a pass, at least five pages) of every
    pass; the rate of the whole run (all pages over all passes' time), which
    the targets compare, goes along."""
    rates = []
    for ends in merged["pass_ends_ns"]:
        rates += stats.completion_rates(ends, max(5, len(ends) // 20))
    dist = stats.distribution(rates)
    walls = sum(merged["pass_wall_ns"])
    total = sum(merged["pass_pages"]) / (walls / 1e9) if walls else None
    latency = stats.distribution([d / 1000.0 for d in merged["durations_ns"]])
    row = dict(fig=fig, key=key, label=label, unit="pages/s", errors=merged["errors"],
               pages=sum(merged["pass_pages"]), total_rate=total, passes=len(merged["pass_wall_ns"]),
               pass_rates=[p / (w / 1e9) for p, w in zip(merged["pass_pages"], merged["pass_wall_ns"]) if w],
               latency_us=latency, **dist)
    if "cut_short" in merged:
        row["cut_short"] = merged["cut_short"]
    return row


def interleave(rounds, measurements):
    """Runs every measurement once per round, in order; merges the rounds."""
    collected = collections.OrderedDict((key, []) for key, _ in measurements)
    for _ in range(rounds):
        for key, run in measurements:
            collected[key].append(run())
    return collections.OrderedDict((key, stats.merge(runs)) for key, runs in collected.items())


def phase_rows(series_rounds):
    """Fig. 8: one row per step, from the series of bench_phases."""
    steps = collections.OrderedDict()
    for round_series in series_rounds:
        for s in round_series:
            steps.setdefault(s["name"], []).extend(s["durations_ns"])
    rows = []
    for name, durations in steps.items():
        dist = stats.distribution([d / 1000.0 for d in durations])
        rows.append(dict(step=name, **dist))
    return rows


# --- groups -----------------------------------------------------------------

def group_transport(ctx):
    """Figs. 1-4 at one thread and fig. 8, interleaved in three rounds."""
    rounds = 3
    rt = ctx.reps(6000) // rounds
    warm = ctx.reps(300)
    url = "script://size/%d" % SRC_BYTES
    phase_runs = []

    def run_phases():
        series = phases(ctx, url, ctx.reps(3000) // rounds, warm, SRC_BYTES)
        phase_runs.append(series)
        return series[-1]

    merged = interleave(rounds, [
        ("pingpong", lambda: floor(ctx, "pingpong", ctx.reps(30000) // rounds, ctx.reps(1000))),
        ("protocol", lambda: floor(ctx, "protocol", rt, warm, src_bytes=SRC_BYTES)),
        ("python", lambda: python_roundtrip(ctx, url, 1, rt, warm, src_bytes=SRC_BYTES)),
        ("native", lambda: facade(ctx, url, 1, rt, warm, src_bytes=SRC_BYTES)),
        ("native_warn", lambda: facade(ctx, url, 1, rt, warm, level="WARN", src_bytes=SRC_BYTES)),
        ("http_client", lambda: http_client(ctx, rt, warm)),
        ("libcurl", lambda: libcurl(ctx, rt, warm)),
        ("phases", run_phases),
    ])
    rows = [
        latency_row("1", "python_1", "Python Push+Pop, script engine, 2 KiB src, 1 thread", merged["python"]),
        latency_row("2", "native_1", "native Push+Pop (facade), same, 1 thread", merged["native"]),
        latency_row("2", "native_1_warn", "native Push+Pop, log level WARN (no INFO records)",
                    merged["native_warn"]),
        latency_row("3", "pingpong", "floor: cross-process wake-up (condition ping-pong)", merged["pingpong"]),
        latency_row("3", "protocol", "floor: protocol steps on Boost.Interprocess, minimal responder",
                    merged["protocol"]),
        latency_row("4", "http_client", "Python http.client keep-alive to nginx, 2 KiB body",
                    merged["http_client"]),
        latency_row("4", "libcurl", "C++ libcurl, one reused handle, to nginx, 2 KiB body", merged["libcurl"]),
    ]
    return {"rows": rows, "phases": phase_rows(phase_runs), "syscalls": syscalls(ctx, ctx.reps(1000))}


def group_threads(ctx):
    """Figs. 1 and 2 with 4 and 16 threads: round trips per second."""
    url = "script://size/%d" % SRC_BYTES
    warm = ctx.reps(100)
    rows = []
    for threads, reps in ((4, 1500), (16, 400)):
        per_thread = ctx.reps(reps)
        python = stats.merge([python_roundtrip(ctx, url, threads, per_thread, warm, src_bytes=SRC_BYTES)])
        native = stats.merge([facade(ctx, url, threads, per_thread, warm, src_bytes=SRC_BYTES)])
        rows.append(rate_row("1", "python_%d" % threads, "Python Push+Pop, %d threads" % threads, python))
        rows.append(rate_row("2", "native_%d" % threads, "native Push+Pop, %d threads" % threads, native))
    return {"rows": rows}


def group_snapshot(ctx):
    """Fig. 5: a 4 MiB snapshot round trip against copying 4 MiB."""
    rounds = 2
    url = "script://snapshot/%d" % SNAPSHOT_BYTES
    reps = ctx.reps(300, least=10) // rounds
    warm = ctx.reps(20, least=3)
    phase_runs = []

    def run_phases():
        series = phases(ctx, url, reps, warm)
        phase_runs.append(series)
        return series[-1]

    merged = interleave(rounds, [
        ("native", lambda: facade(ctx, url, 1, reps, warm, snapshot_bytes=SNAPSHOT_BYTES)),
        ("python", lambda: python_roundtrip(ctx, url, 1, reps, warm, snapshot_bytes=SNAPSHOT_BYTES)),
        ("protocol", lambda: floor(ctx, "protocol", reps, warm, src_bytes=8, snapshot_bytes=SNAPSHOT_BYTES)),
        ("memcpy", lambda: floor(ctx, "memcpy", ctx.reps(2000) // rounds, ctx.reps(100), bytes=SNAPSHOT_BYTES)),
        ("freshmap", lambda: floor(ctx, "freshmap", ctx.reps(1000) // rounds, ctx.reps(50), bytes=SNAPSHOT_BYTES)),
        ("phases", run_phases),
    ])
    rows = [
        latency_row("5", "snapshot_native", "native Push+Pop, 4 MiB snapshot (script engine)", merged["native"]),
        latency_row("5", "snapshot_python", "Python Push+Pop, 4 MiB snapshot", merged["python"]),
        latency_row("5", "snapshot_protocol", "floor: protocol steps with a 4 MiB snapshot", merged["protocol"]),
        latency_row("5", "memcpy", "4 MiB memory copy", merged["memcpy"]),
        latency_row("5", "freshmap", "fresh 4 MiB shared mapping + copy into it", merged["freshmap"]),
    ]
    return {"rows": rows, "phases": phase_rows(phase_runs)}


def _crawl_urls(ctx, kind):
    path = os.path.join(ctx.temporary, "%s-urls.txt" % kind)
    site.write_urls(path, [ctx.nginx.url(p) for p in ctx.paths[kind]])
    return path


def group_fetch(ctx):
    """Fig. 6: FetchBridge with 16 threads against a pycurl CurlMulti crawl."""
    if "fetch" not in ctx.engines:
        return {"rows": [dict(fig="6", key="fetch", label="fetch engine", unit="pages/s", not_built=True)]}
    server = ctx.server("fetch", FETCH_THREADS)
    urls = _crawl_urls(ctx, "crawl")
    client = os.path.join(ctx.bench_dir, "clients", "pyclient.py")
    warm = ctx.reps(100)
    rounds = 3

    def bridge():
        out = ctx.out("crawl-bridge")
        command = [ctx.python, client, "crawl-bridge", "--module", "FetchBridge", "--pid", str(server.pid),
                   "--urls", urls, "--threads", str(FETCH_THREADS), "--passes", "1", "--warmup", str(warm),
                   "--name", "FetchBridge", "--out", out]
        return processes.run_program(command, out, env=ctx.module_env())[0]

    def pycurl():
        out = ctx.out("crawl-pycurl")
        command = [ctx.python, client, "crawl-pycurl", "--urls", urls, "--threads", str(FETCH_THREADS),
                   "--passes", "1", "--warmup", str(warm), "--name", "pycurl", "--out", out]
        return processes.run_program(command, out)[0]

    merged = interleave(rounds, [("bridge", bridge), ("pycurl", pycurl)])
    pages = len(ctx.paths["crawl"])
    return {"rows": [
        pages_row("6", "fetch_bridge", "FetchBridge, %d pages, %d threads" % (pages, FETCH_THREADS),
                  merged["bridge"]),
        pages_row("6", "fetch_pycurl", "pycurl CurlMulti, same pages, %d in flight" % FETCH_THREADS,
                  merged["pycurl"]),
    ]}


def group_render(ctx):
    """Fig. 7: RenderBridge with 4 in flight against playwright-core."""
    if "render" not in ctx.engines:
        return {"rows": [dict(fig="7", key="render", label="render engine", unit="pages/s", not_built=True)]}
    from . import render
    return render.group(ctx, _crawl_urls(ctx, "render"), RENDER_IN_FLIGHT, pages_row, interleave)


GROUPS = collections.OrderedDict([
    ("transport", group_transport),
    ("threads", group_threads),
    ("snapshot", group_snapshot),
    ("fetch", group_fetch),
    ("render", group_render),
])

#!/usr/bin/env python3
"""make bench: every benchmark in one go.

Builds the bench programs in the build folder, starts what they measure
against (browser-server, nginx with a local site made in a temporary folder),
runs the figures group by group, prints the table and writes the same figures
as JSON and as a markdown table into bench/results/ (one pair of files per
run). docs/benchmarks.md says what each figure means.

A group whose run saw more foreign processor load (work of processes that
are not the bench's) than --threshold is run again, up to --attempts times;
the least disturbed attempt is kept and marked when it stayed disturbed.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from tarvbench import figures, load, processes, report, site  # noqa: E402

PYTHON = "/usr/bin/python3"  # the interpreter the modules are built for


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder (default: build)")
    parser.add_argument("--results", default=os.path.join(HERE, "results"), help="where the JSON and markdown go")
    parser.add_argument("--quick", action="store_true", help="a tenth of the repetitions, to try the bench out")
    parser.add_argument("--only", default="", help="comma-separated groups to run (default: all): " +
                        ",".join(figures.GROUPS))
    parser.add_argument("--threshold", type=float, default=0.25,
                        help="foreign load (processors' worth) above which a group counts as disturbed")
    parser.add_argument("--attempts", type=int, default=3, help="runs of a disturbed group at most")
    parser.add_argument("--quiet-wait", type=float, default=20.0,
                        help="seconds to wait for a quiet machine before each attempt")
    parser.add_argument("--budget", type=float, default=12 * 60.0,
                        help="seconds after which disturbed groups are no longer run again")
    parser.add_argument("--update-docs", action="store_true",
                        help="also put the table into docs/benchmarks.md")
    parser.add_argument("--no-build", action="store_true", help="use the programs as they are")
    return parser.parse_args()


def build(folder):
    subprocess.run(["cmake", "-S", ROOT, "-B", folder], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "tarv_bench_programs", "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL)


def machine():
    with open("/proc/meminfo") as info:
        memory_kib = int(re.search(r"MemTotal:\s+(\d+)", info.read()).group(1))
    model = ""
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    try:
        commit = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = ""
    return {"cores": os.cpu_count(), "memory_gib": round(memory_kib / 1024 / 1024, 1), "kernel": platform.release(),
            "cpu": model, "os": _os_name(), "commit": commit}


def _os_name():
    try:
        with open("/etc/os-release") as release:
            return re.search(r'PRETTY_NAME="([^"]*)"', release.read()).group(1)
    except (OSError, AttributeError):
        return ""


def engine_names(server_binary):
    text = subprocess.run([server_binary, "--help"], capture_output=True, text=True).stdout
    found = re.search(r"one of:\s*([^)]*)\)", text)
    return [name.strip() for name in found.group(1).split(",")] if found else []


def main():
    args = parse_arguments()
    started = time.monotonic()
    build_dir = os.path.abspath(args.build)
    if not args.no_build:
        build(build_dir)
    server_binary = os.path.join(build_dir, "server", "browser-server")
    engines = engine_names(server_binary)
    scale = 0.1 if args.quick else 1.0
    wanted = [g for g in args.only.split(",") if g] or list(figures.GROUPS)
    unknown = [g for g in wanted if g not in figures.GROUPS]
    if unknown:
        sys.exit("unknown group(s): %s (known: %s)" % (", ".join(unknown), ", ".join(figures.GROUPS)))

    now = datetime.datetime.now()
    run = {"date": now.strftime("%Y-%m-%d %H:%M"), "machine": machine(), "engines": engines,
           "settings": {"threshold_cores": args.threshold, "attempts": args.attempts, "quick": args.quick,
                        "groups": wanted},
           "groups": {}}
    print("bench: %s, %d cores, %.1f GiB, Linux %s; engines: %s" % (
        run["machine"]["cpu"], run["machine"]["cores"], run["machine"]["memory_gib"], run["machine"]["kernel"],
        ", ".join(engines)), flush=True)

    temporary = tempfile.mkdtemp(prefix="tarv-bench-")
    try:
        context = figures.Context(build=build_dir, temporary=temporary, python=PYTHON, scale=scale,
                                  engines=engines, bench_dir=HERE)
        context.paths = site.make(os.path.join(temporary, "site"))
        context.nginx = processes.Nginx(os.path.join(HERE, "nginx", "nginx.conf.in"),
                                        os.path.join(temporary, "nginx"), os.path.join(temporary, "site"))
        try:
            for name in wanted:
                print("bench: group %s" % name, flush=True)
                run["groups"][name] = run_group(context, name, args, started)
        finally:
            context.close()
    finally:
        shutil.rmtree(temporary, ignore_errors=True)

    run["seconds"] = round(time.monotonic() - started, 1)
    table = report.markdown(run)
    print()
    print(report.text(run))
    os.makedirs(args.results, exist_ok=True)
    stem = os.path.join(args.results, "bench-" + now.strftime("%Y%m%d-%H%M%S"))
    with open(stem + ".json", "w") as out:
        json.dump(run, out, indent=1)
    with open(stem + ".md", "w") as out:
        out.write(table)
    print("bench: wrote %s.json and %s.md (%.0f s)" % (stem, stem, run["seconds"]))
    if args.update_docs:
        report.update_docs(os.path.join(ROOT, "docs", "benchmarks.md"), table,
                           os.path.relpath(stem + ".json", ROOT))
        print("bench: updated docs/benchmarks.md")


def run_group(context, name, args, started):
    """Runs a group until an attempt is quiet enough, or the run's budget is
    spent; keeps the quietest attempt."""
    tries = []
    for attempt in range(args.attempts):
        if tries and time.monotonic() - started > args.budget:
            break
        before = load.wait_until_quiet(args.threshold, args.quiet_wait)
        with load.Meter() as meter:
            try:
                result = figures.GROUPS[name](context)
            except processes.BenchError as error:
                result = {"error": str(error)}
        tries.append({"result": result, "foreign": round(meter.mean(), 3), "worst": round(meter.worst(), 3),
                      "before": round(before, 3)})
        print("bench:   attempt %d: foreign load %.2f (worst %.2f) processors%s" % (
            attempt + 1, meter.mean(), meter.worst(), "" if "error" not in result else "; " + result["error"]),
            flush=True)
        if "error" in result or meter.mean() <= args.threshold:
            break
    best = min(tries, key=lambda t: t["foreign"])
    best["attempts"] = len(tries)
    best["disturbed"] = best["foreign"] > args.threshold
    best["all_foreign"] = [t["foreign"] for t in tries]
    return best


if __name__ == "__main__":
    main()

"""Fig. 7: RenderBridge against playwright-core, both driving Debian's
Chromium with the render engine's flags, the same pages, the same number of
pages in flight, without and with a snapshot."""
import json
import os
import re
import subprocess

from . import processes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIMITS = os.path.join(ROOT, "server", "engines", "detail", "RenderLimits.hpp")
# playwright-core sets these itself (it speaks to Chromium over its own pipe).
LEFT_TO_PLAYWRIGHT = ("--headless", "--remote-debugging-pipe")


def engine_settings():
    """The render engine's Chromium flags and viewport, read from its own
    header so that both sides start Chromium alike."""
    with open(LIMITS) as header:
        text = header.read()
    block = re.search(r"kChromiumFlags\[\]\s*=\s*\{(.*?)\};", text, re.S).group(1)
    block = re.sub(r"//[^\n]*", "", block)
    flags = [re.sub(r'"\s*"', "", item).strip().strip('"')
             for item in re.findall(r'"(?:[^"\\]|\\.)*"(?:\s*"(?:[^"\\]|\\.)*")*', block)]
    width = int(re.search(r"kViewportWidth\s*=\s*(\d+)", text).group(1))
    height = int(re.search(r"kViewportHeight\s*=\s*(\d+)", text).group(1))
    flags = [f for f in flags if f not in LEFT_TO_PLAYWRIGHT]
    flags.append("--window-size=%d,%d" % (width, height))
    return flags, width, height


# Passes over all the pages per measurement.
PASSES = 2

# What the render engine logs for a page taken before its load event.
CUT_SHORT = "did not finish loading within keep"


def _log_size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def _count_since(path, offset, text):
    with open(path, errors="replace") as log:
        log.seek(offset)
        return log.read().count(text)


def ensure_playwright(folder):
    if not os.path.isdir(os.path.join(folder, "node_modules", "playwright-core")):
        done = subprocess.run(["npm", "install", "--no-audit", "--no-fund"], cwd=folder, capture_output=True,
                              text=True, timeout=600)
        if done.returncode != 0:
            raise processes.BenchError("npm install playwright-core failed: " + done.stderr.strip()[-400:])


def group(ctx, urls, in_flight, pages_row, interleave):
    folder = os.path.join(ctx.bench_dir, "render")
    ensure_playwright(folder)
    flags, width, height = engine_settings()
    server = ctx.server("render", in_flight)
    client = os.path.join(ctx.bench_dir, "clients", "pyclient.py")
    warm = 2 * in_flight
    pages = sum(1 for line in open(urls) if line.strip())

    def bridge(snapshot):
        def run():
            seen = _log_size(server.log.name)
            out = ctx.out("render-bridge")
            command = [ctx.python, client, "crawl-bridge", "--module", "RenderBridge", "--pid", str(server.pid),
                       "--urls", urls, "--threads", str(in_flight), "--passes", str(PASSES), "--warmup", str(warm),
                       "--options", json.dumps({"snapshot": snapshot, "delay": 0, "keep": 0}), "--name",
                       "RenderBridge", "--out", out]
            series = processes.run_program(command, out, env=ctx.module_env("RenderBridge"))[0]
            series["cut_short"] = _count_since(server.log.name, seen, CUT_SHORT)
            return series
        return run

    def playwright(snapshot):
        def run():
            out = ctx.out("render-playwright")
            command = ["node", os.path.join(folder, "render.js"), "--urls", urls, "--in-flight", str(in_flight),
                       "--passes", str(PASSES), "--warmup", str(warm), "--snapshot", "1" if snapshot else "0",
                       "--flags", json.dumps(flags), "--width", str(width), "--height", str(height),
                       "--out", out]
            return processes.run_program(command, out, cwd=folder)[0]
        return run

    # One round, back to back: a pass of RenderBridge lasts as long as its pages take.
    merged = interleave(1, [("bridge_dom", bridge(False)), ("playwright_dom", playwright(False)),
                            ("bridge_snapshot", bridge(True)), ("playwright_snapshot", playwright(True))])
    return {"rows": [
        pages_row("7", "render_bridge_dom", "RenderBridge, %d pages with scripts, %d in flight, DOM" % (
            pages, in_flight), merged["bridge_dom"]),
        pages_row("7", "playwright_dom", "playwright-core, same pages and Chromium, %d in flight, DOM" % in_flight,
                  merged["playwright_dom"]),
        pages_row("7", "render_bridge_snapshot", "RenderBridge, same, snapshot true (PNG)",
                  merged["bridge_snapshot"]),
        pages_row("7", "playwright_snapshot", "playwright-core, same, with a PNG screenshot",
                  merged["playwright_snapshot"]),
    ], "chromium_flags": flags}

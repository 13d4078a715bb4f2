"""The main job: the example crawler against the local demo site and the fetch
engine, and tools/demo.sh around them, which also renders the site through
the render engine."""
import glob
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import ROOT, Server, server_binary, shm_entries

SITE = os.path.join(ROOT, "site", "serve.py")
CRAWLER = os.path.join(ROOT, "examples", "crawler.py")
DEMO = os.path.join(ROOT, "tools", "demo.sh")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# What the script of /js puts into the page (site/serve.py's JS_TEXT).
JS_BUILT = '<p id="content">Built by JavaScript</p>'


def site_pages():
    listed = subprocess.run([sys.executable, SITE, "--list"], capture_output=True, text=True, check=True)
    return listed.stdout.split()


def read_pages_tsv(folder):
    with open(os.path.join(folder, "pages.tsv"), encoding="utf-8") as f:
        header, *lines = f.read().splitlines()
    names = header.split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines]


@pytest.fixture
def site():
    process = subprocess.Popen([sys.executable, SITE], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = process.stdout.readline().strip()
    yield "http://127.0.0.1:%s" % port
    process.terminate()
    process.wait(timeout=30)
    process.stdout.close()


@pytest.fixture
def fetch():
    server = Server(engine="fetch", extra=("--log-level", "ERROR"))
    yield server
    leftovers = shm_entries("Tarv_%d_Ticket_" % server.pid)
    server.cleanup()
    assert leftovers == [], "tickets left behind: %r" % leftovers


def no_leftovers_of(pid):
    return shm_entries("Tarv_Browser_%d_" % pid) + shm_entries("Tarv_%d_Ticket_" % pid)


def summary_rows(output, site):
    """The crawler's summary table: path asked for -> (engine, last-modified, bytes, snapshot, ms)."""
    rows = [re.split(r"\s{2,}", line) for line in output.splitlines() if line.startswith(site)]
    return {cells[0].split(" -> ")[0][len(site):]: cells[1:] for cells in rows}


def server_pids(output):
    return {engine: int(pid) for engine, pid in re.findall(r"browser-server --engine (\w+) running as (\d+)", output)}


def chromium_of_server_left(pid):
    """Live processes naming the profile of render server `pid`'s Chromium, and
    whether that profile is still there, once they are gone (at most 5 s)."""
    marker = "tarv-render-%d-" % pid
    end = time.monotonic() + 5
    while True:
        live = []
        for name in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % name, "rb") as f:
                    command = f.read()
                with open("/proc/%s/stat" % name) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if state != "Z" and marker.encode() in command:
                live.append(int(name))
        if not live or time.monotonic() > end:
            return live, glob.glob(os.path.join(tempfile.gettempdir(), marker + "*"))
        time.sleep(0.05)


def test_crawler_gets_every_page_of_the_site(site, fetch, tmp_path):
    out = tmp_path / "pages"
    proc = subprocess.run([sys.executable, CRAWLER, "--pid", str(fetch.pid), "--start", site + "/",
                           "--out", str(out), "--threads", "4"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = read_pages_tsv(out)
    came_back = {row["final_url"][len(site):] for row in rows}
    assert set(site_pages()) <= came_back
    # The redirect was followed, the Last-Modified header arrived, and each
    # page's source was saved under a name made from its path.
    assert {row["url"][len(site):] for row in rows} >= {"/old"}
    by_path = {row["final_url"][len(site):]: row for row in rows}
    assert by_path["/modified"]["last_modified"] == "Wed, 21 Oct 2015 07:28:00 GMT"
    assert by_path["/about"]["last_modified"] == ""
    for row in rows:
        saved = (out / row["file"]).read_bytes()
        assert len(saved) == int(row["bytes"]) and saved.startswith(b"<!DOCTYPE html>")
    assert '<a href="/articles/2">' in (out / "articles_1.html").read_text()
    # The one POST carried its body and cookie to the echo page.
    assert re.search(r"^POST .*/echo .*Cookie: session=demo-42 Body: greeting=hello&from=crawler", proc.stdout, re.M)
    assert "%d pages in" % len(rows) in proc.stdout
    # The summary names the engine; the fetch engine takes no snapshots.
    table = summary_rows(proc.stdout, site)
    assert table["/modified"][:2] == ["FetchBridge", "Wed, 21 Oct 2015 07:28:00 GMT"]
    assert {cells[0] for cells in table.values()} == {"FetchBridge"}
    assert {cells[3] for cells in table.values()} == {"-"}


def test_crawler_fails_when_the_site_is_not_there(fetch, tmp_path):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    proc = subprocess.run([sys.executable, CRAWLER, "--pid", str(fetch.pid), "--start",
                           "http://127.0.0.1:%d/" % port, "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1
    assert "FAILED  http://127.0.0.1:%d/: Server sent dead result." % port in proc.stdout


def demo_command(out):
    build = os.path.dirname(os.path.dirname(os.path.abspath(server_binary())))
    return ["bash", DEMO, build, str(out)]


def test_demo_script_crawls_and_renders_the_site_and_leaves_nothing_behind(tmp_path):
    proc = subprocess.run(demo_command(tmp_path), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    pages = site_pages()
    for module in ("FetchBridge", "RenderBridge"):
        assert "demo: all %d pages of the site came back through %s" % (len(pages), module) in proc.stdout
    site = re.search(r"site at (http://127.0.0.1:\d+)/", proc.stdout).group(1)
    rendered = read_pages_tsv(tmp_path / "render")
    assert set(pages) <= {row["final_url"][len(site):] for row in rendered}
    # Every rendered page has its snapshot beside its source, of the size the
    # table shows (a page reached twice, as /about through /old, is saved once).
    table = summary_rows(proc.stdout.split("through RenderBridge", 1)[1], site)
    assert {cells[0] for cells in table.values()} == {"RenderBridge"}
    sizes = {}
    for row in rendered:
        sizes.setdefault(row["file"], set()).add(table[row["url"][len(site):]][3])
    for name, shown in sizes.items():
        snapshot = (tmp_path / "render" / name).with_suffix(".png").read_bytes()
        assert snapshot.startswith(PNG_SIGNATURE)
        assert str(len(snapshot)) in shown
    # The text that the script of /js builds is in the rendered source only.
    assert JS_BUILT in (tmp_path / "render" / "js.html").read_text()
    assert JS_BUILT not in (tmp_path / "fetch" / "js.html").read_text()
    assert "demo: /js shows its text built by JavaScript only when rendered" in proc.stdout
    pids = server_pids(proc.stdout)
    assert set(pids) == {"fetch", "render"}
    for engine, pid in pids.items():
        assert no_leftovers_of(pid) == []
        assert "stopped; removed" in (tmp_path / ("%s-server.log" % engine)).read_text()
    assert chromium_of_server_left(pids["render"]) == ([], [])


@pytest.mark.parametrize("module", ["FetchBridge", "RenderBridge"])
def test_interrupted_demo_stops_everything_it_started(tmp_path, module):
    # A slow site keeps the crawl going while the interrupt arrives.
    env = dict(os.environ, DEMO_SITE_SLOW="0.5")
    demo = subprocess.Popen(demo_command(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            env=env, start_new_session=True)
    seen = []
    try:
        for line in demo.stdout:
            seen.append(line)
            if re.match(r"Crawling .* through %s " % module, line):
                break
        os.killpg(demo.pid, signal.SIGINT)  # as Ctrl-C in a terminal does
        rest, _ = demo.communicate(timeout=60)
    finally:
        if demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
            demo.wait()
        demo.stdout.close()
    output = "".join(seen) + rest
    assert demo.returncode == 130, output
    assert "demo: interrupted" in output
    port = int(re.search(r"site at http://127.0.0.1:(\d+)/", output).group(1))
    pids = server_pids(output)
    assert len(pids) == (2 if module == "RenderBridge" else 1), output
    for pid in pids.values():
        assert no_leftovers_of(pid) == []
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)
    if "render" in pids:
        assert chromium_of_server_left(pids["render"]) == ([], [])
    with pytest.raises(ConnectionRefusedError), socket.create_connection(("127.0.0.1", port), timeout=5):
        pass

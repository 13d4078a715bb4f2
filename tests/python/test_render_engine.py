"""The render engine (browser-server --engine render, one headless Chromium)
through RenderBridge, against a small HTTP server run by the test itself."""
import html
import os
import random
import re
import signal
import socket
import struct
import threading
import time
import http.server
from urllib.parse import parse_qs, urlsplit

import pytest

from conftest import Server, shm_entries

DEAD = "Server sent dead result."
STAMP = "Wed, 21 Oct 2015 07:28:00 GMT"
HOLD_LIMIT = 10      # longest a /hold answer waits for the test to let it go
BARRIER_LIMIT = 10   # longest a /together answer waits for its three partners
BUDGET = 4900000     # url + lastModified + src + snapshot of one result, at most
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
JPEG_SIGNATURE = b"\xff\xd8\xff"
# Put into the page by its script only: the raw HTML never holds the text.
JS_MARK = "made by JavaScript"
JS_PAGE = ("<!DOCTYPE html><html><head><title>js</title></head><body><p id='text'>raw text</p>"
           "<script>document.getElementById('text').textContent = ['made', 'by', 'JavaScript'].join(' ');"
           "</script></body></html>")
PIXEL = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                      "1f15c4890000000d4944415478da63f8ffff3f0005fe02fea7d6a4c00000000049454e44ae426082")


class Handler(http.server.BaseHTTPRequestHandler):
    timeout = 10

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.route(b"")

    def do_POST(self):
        self.route(self.rfile.read(int(self.headers.get("Content-Length") or 0)))

    def send(self, body, content_type="text/html", status=200, headers=()):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def route(self, body):
        site = self.server.site
        site.record(self.command, self.path)
        parts = urlsplit(self.path)
        path, query = parts.path, parse_qs(parts.query)
        token = query.get("t", [""])[0]
        if path == "/js":
            self.send(JS_PAGE, headers=[("Last-Modified", STAMP)])
        elif path == "/plain":
            self.send("<p>no stamp</p>")
        elif path == "/redirect":
            self.send("", status=302, headers=[("Location", "/js?t=" + token)])
        elif path == "/images":
            self.send("<body><p>with pictures</p><img src='/pixel.png?t=%s'>"
                      "<link rel='stylesheet' href='/style.css?t=%s'></body>" % (token, token))
        elif path == "/pixel.png":
            self.send(PIXEL, "image/png")
        elif path == "/style.css":
            self.send("p { color: green }", "text/css")
        elif path == "/echo":
            self.send("<pre id='echo'>method=%s\ncookie=%s\nbody=%s</pre>" % (
                self.command, html.escape(self.headers.get("Cookie", "-")), html.escape(body.decode())))
        elif path == "/slow-image":
            self.send("<body><p>loaded text</p><img src='/hold?t=%s'></body>" % token)
        elif path == "/hold":
            site.released.wait(HOLD_LIMIT)
            self.send(PIXEL, "image/png")
        elif path == "/together":
            try:
                site.barrier(token).wait(BARRIER_LIMIT)
                company = "together"
            except threading.BrokenBarrierError:
                company = "alone"
            number = query.get("n", ["?"])[0]
            self.send("<body><p id='who'>page %s</p><script>document.body.dataset.n = '%s';"
                      "localStorage.setItem('n', '%s');</script><p>%s</p></body>" % (number, number, number, company))
        elif path == "/noise":
            # A canvas of random pixels (its PNG hardly compresses) beside a
            # large hidden text: together they do not fit in one result.
            filler = "x" * int(query.get("filler", ["0"])[0])
            self.send("<body style='margin:0'><canvas id='c' width='1280' height='800'></canvas>"
                      "<div style='display:none'>%s</div><script>"
                      "const c = document.getElementById('c').getContext('2d');"
                      "const image = c.createImageData(1280, 800);"
                      "for (let i = 0; i < image.data.length; ++i)"
                      "  image.data[i] = i %% 4 == 3 ? 255 : Math.random() * 256;"
                      "c.putImageData(image, 0, 0);</script></body>" % filler)
        else:
            self.send("no such page", "text/plain", 404)


class Httpd(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # pages closed half-way leave broken connections: not the test's concern


class Site:
    """The test's HTTP server on 127.0.0.1, recording what it was asked for."""

    def __init__(self):
        self.lock = threading.Lock()
        self.requests = []
        self.released = threading.Event()
        self.barriers = {}
        self.httpd = Httpd(("127.0.0.1", 0), Handler)
        self.httpd.site = self
        self.base = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05})
        self.thread.start()

    def url(self, path, **query):
        token = "%d-%d" % (os.getpid(), random.getrandbits(48))
        query.setdefault("t", token)
        return self.base + path + "?" + "&".join("%s=%s" % item for item in query.items())

    def record(self, method, path):
        with self.lock:
            self.requests.append((method, path))

    def paths(self):
        with self.lock:
            return [path for _, path in self.requests]

    def barrier(self, token):
        with self.lock:
            return self.barriers.setdefault(token, threading.Barrier(4))

    def wait_for(self, fragment, limit=10):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if any(fragment in path for path in self.paths()):
                return True
            time.sleep(0.02)
        return False

    def close(self):
        self.released.set()
        with self.lock:
            for barrier in self.barriers.values():
                barrier.abort()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture(scope="module")
def site():
    s = Site()
    yield s
    s.close()


def start_render(workers=4, timeout_ms=15000):
    return Server(workers=workers, engine="render", extra=("--engine-timeout", str(timeout_ms)))


def finish(server):
    leftovers = shm_entries("Tarv_%d_Ticket_" % server.pid)
    server.cleanup()
    assert leftovers == [], "tickets left behind: %r" % leftovers


@pytest.fixture(scope="module")
def render():
    s = start_render()
    yield s
    finish(s)


@pytest.fixture
def own_render():
    """A render server of the test's own, for tests that break or stop it."""
    servers = []

    def make(**kwargs):
        servers.append(start_render(**kwargs))
        return servers[-1]
    yield make
    for s in servers:
        finish(s)


@pytest.fixture(scope="session")
def bridge():
    import RenderBridge
    return RenderBridge


def get(bridge, server, url, **options):
    return bridge.Pop(url, bridge.Push(url, pid=server.pid, options=options))


def closed_port():
    """A port of 127.0.0.1 that nothing listens on (just given up by the test)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def png_size(data):
    assert data[:8] == PNG_SIGNATURE and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


# --- processes -------------------------------------------------------------

def processes():
    """pid -> (parent pid, state, command line) of every process."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % name, "rb") as f:
                command = f.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        table[int(name)] = (int(fields[1]), fields[0], command)
    return table


def chromium_of(server):
    """The pid and the profile of the server's Chromium (its child on the DevTools pipe)."""
    # Chromium rewrites its command line into one text: look into the text.
    for pid, (parent, _, command) in processes().items():
        line = " ".join(command)
        if parent == server.pid and "--remote-debugging-pipe" in line:
            return pid, re.search(r"--user-data-dir=(\S+)", line).group(1)
    raise AssertionError("browser-server %d has no Chromium" % server.pid)


def descendants(pid):
    table = processes()
    found, todo = set(), [pid]
    while todo:
        parent = todo.pop()
        for child, (ppid, _, _) in table.items():
            if ppid == parent and child not in found:
                found.add(child)
                todo.append(child)
    return found


def chromium_left(profile, old):
    """Live processes of that Chromium: they name its profile, or were in its tree."""
    return sorted(pid for pid, (_, state, command) in processes().items()
                  if state != "Z" and (any(profile in arg for arg in command)
                                       or (pid in old and any("chromium" in arg for arg in command))))


def wait_until(condition, limit=10):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


# --- pages ---------------------------------------------------------------

def test_text_put_in_by_javascript_is_in_src_and_not_in_the_fetched_page(bridge, render, site):
    url = site.url("/js")
    result = get(bridge, render, url, snapshot=False)
    assert JS_MARK in result.src and "raw text" not in result.src
    assert result.src.startswith("<!DOCTYPE html><html>")

    fetch = Server(workers=1, engine="fetch")
    try:
        import FetchBridge
        fetched = FetchBridge.Pop(url, FetchBridge.Push(url, pid=fetch.pid, options={}))
    finally:
        fetch.cleanup()
    assert "raw text" in fetched.src and JS_MARK not in fetched.src


@pytest.mark.parametrize("path, landing, stamp", [
    ("/js", "/js", STAMP),
    ("/redirect", "/js", STAMP),
    ("/plain", "/plain", ""),
], ids=["stamped", "redirected", "no-last-modified"])
def test_answer_names_the_final_url_and_the_documents_last_modified(bridge, render, site, path, landing, stamp):
    url = site.url(path)
    result = get(bridge, render, url, snapshot=False)
    assert urlsplit(result.url).path == landing
    assert urlsplit(result.url).query == urlsplit(url).query
    assert result.lastModified == stamp


@pytest.mark.parametrize("script, expected", [
    ("document.body.setAttribute('data-scripted', 'yes')", "data-scripted=\"yes\""),
    ("new Promise(done => setTimeout(() => { document.title = 'late ' + 'title'; done(); }, 200))",
     "<title>late title</title>"),
    ("throw new Error('broken')", JS_MARK),
    ("alert('hello'); document.body.dataset.after = 'alert'", 'data-after="alert"'),
    ("document.body.append('\\ud800')", "\ufffd</body>"),
], ids=["sync", "awaited-promise", "throwing-script-keeps-the-page", "dialog-is-accepted",
        "lone-surrogate-in-the-dom"])
def test_script_runs_in_the_page_before_the_capture(bridge, render, site, script, expected):
    result = get(bridge, render, site.url("/js"), snapshot=False, script=script)
    assert expected in result.src


def test_snapshot_is_a_png_of_the_viewport(bridge, render, site):
    result = get(bridge, render, site.url("/js"), snapshot=True)
    assert png_size(result.snapshot) == (1280, 800)
    assert 1000 < len(result.snapshot) < BUDGET
    assert get(bridge, render, site.url("/js"), snapshot=False).snapshot == b""


def test_snapshot_too_large_for_the_ticket_is_made_to_fit(bridge, render, site):
    filler = 2500000
    result = get(bridge, render, site.url("/noise", filler=filler), snapshot=True)
    assert len(result.src) > filler
    assert result.snapshot[:3] == JPEG_SIGNATURE
    assert len(result.url) + len(result.lastModified) + len(result.src) + len(result.snapshot) <= BUDGET
    # Alone, the same page's snapshot is a PNG, too large to sit beside the text.
    alone = get(bridge, render, site.url("/noise"), snapshot=True)
    assert png_size(alone.snapshot) == (1280, 800)
    assert len(alone.snapshot) + filler > BUDGET


@pytest.mark.parametrize("disable, blocked, fetched", [
    ("", [], ["/pixel.png", "/style.css"]),
    ("image", ["/pixel.png"], ["/style.css"]),
    (" Image , stylesheet", ["/pixel.png", "/style.css"], []),
], ids=["nothing-disabled", "images", "images-and-stylesheets"])
def test_disabled_resource_types_are_never_requested(bridge, render, site, disable, blocked, fetched):
    url = site.url("/images")
    token = parse_qs(urlsplit(url).query)["t"][0]
    result = get(bridge, render, url, snapshot=False, disable=disable, delay=300)
    assert "with pictures" in result.src
    for path in fetched:
        assert site.wait_for(path + "?t=" + token), path + " was not requested"
    asked = site.paths()
    for path in blocked:
        assert path + "?t=" + token not in asked
    assert "/favicon.ico" not in asked


@pytest.mark.parametrize("options, method, body, cookie", [
    ({}, "GET", "", "-"),
    ({"post": "a=1&b=two"}, "POST", "a=1&amp;b=two", "-"),
    ({"cookie": "k=v; other=2"}, "GET", "", "k=v; other=2"),
    ({"post": "x=y", "cookie": "k=v"}, "POST", "x=y", "k=v"),
], ids=["get", "post", "cookie", "post-with-cookie"])
def test_post_and_cookie_reach_the_server(bridge, render, site, options, method, body, cookie):
    result = get(bridge, render, site.url("/echo"), snapshot=False, **options)
    assert "method=%s\ncookie=%s\nbody=%s</pre>" % (method, html.escape(cookie), body) in result.src


def test_keep_ends_the_wait_for_the_load_event(bridge, render, site):
    url = site.url("/slow-image")
    token = parse_qs(urlsplit(url).query)["t"][0]
    started = time.monotonic()
    result = get(bridge, render, url, snapshot=False, keep=500, delay=0)
    assert "loaded text" in result.src
    assert site.wait_for("/hold?t=" + token)
    assert time.monotonic() - started < HOLD_LIMIT


@pytest.mark.parametrize("url, options", [
    ("ftp://127.0.0.1/file", {}),
    ("http://127.0.0.1:{closed}/refused", {}),
    ("{site}/js", {"disable": "images"}),
    ("{site}/js", {"delay": 60000}),
], ids=["not-http", "connection-refused", "unknown-resource-type", "delay-past-the-deadline"])
def test_pages_that_cannot_be_had_give_dead_results(bridge, render, site, url, options):
    url = url.format(site=site.base, closed=closed_port())
    with pytest.raises(RuntimeError, match=DEAD):
        get(bridge, render, url, **options)
    assert JS_MARK in get(bridge, render, site.url("/js"), snapshot=False).src


def test_four_requests_in_flight_each_get_their_own_page(bridge, render, site):
    token = "%d-%d" % (os.getpid(), random.getrandbits(48))
    results, errors = {}, []

    def one(n):
        url = site.url("/together", t=token, n=n)
        try:
            results[n] = get(bridge, render, url, snapshot=False,
                             script="document.body.dataset.stored = localStorage.getItem('n')")
        except Exception as error:  # reported below, on the test's thread
            errors.append(error)
    threads = [threading.Thread(target=one, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for n in range(4):
        src = results[n].src
        assert "page %d" % n in src and "together" in src
        assert 'data-n="%d"' % n in src and 'data-stored="%d"' % n in src


# --- Chromium's life -------------------------------------------------------

def test_chromium_killed_during_a_request_gives_dead_and_the_next_request_works(bridge, own_render, site):
    server = own_render(workers=2, timeout_ms=10000)
    old, _ = chromium_of(server)
    url = site.url("/hold")
    ticket = bridge.Push(url, pid=server.pid, options={"snapshot": False})
    assert site.wait_for(urlsplit(url).path + "?" + urlsplit(url).query)
    started = time.monotonic()
    os.kill(old, signal.SIGKILL)
    with pytest.raises(RuntimeError, match=DEAD):
        bridge.Pop(url, ticket)
    assert time.monotonic() - started < 10
    assert JS_MARK in get(bridge, server, site.url("/js"), snapshot=False).src
    new, _ = chromium_of(server)
    assert new != old
    assert wait_until(lambda: old not in processes()), "the killed Chromium was not reaped"


def test_chromium_that_stops_answering_is_replaced(bridge, own_render, site):
    server = own_render(workers=2, timeout_ms=4000)
    old, _ = chromium_of(server)
    os.kill(old, signal.SIGSTOP)
    try:
        started = time.monotonic()
        with pytest.raises(RuntimeError, match=DEAD):
            get(bridge, server, site.url("/js"), snapshot=False)
        assert time.monotonic() - started < 8
        assert wait_until(lambda: old not in processes(), 15), "the stuck Chromium was not killed"
    finally:
        if old in processes():
            os.kill(old, signal.SIGCONT)
    assert JS_MARK in get(bridge, server, site.url("/js"), snapshot=False).src


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGKILL], ids=["sigterm", "sigkill"])
def test_stopping_the_server_leaves_no_chromium(bridge, own_render, site, stop):
    server = own_render(workers=2)
    assert JS_MARK in get(bridge, server, site.url("/js"), snapshot=True).src
    _, profile = chromium_of(server)
    tree = descendants(server.pid)
    assert len(tree) > 1 and len(chromium_left(profile, tree)) > 1
    server.stop(stop)
    assert wait_until(lambda: chromium_left(profile, tree) == []), chromium_left(profile, tree)
    if stop == signal.SIGTERM:
        assert not os.path.exists(profile)
    else:
        # Nobody was left to remove the profile: the next render server does.
        assert os.path.exists(profile)
        own_render(workers=1)
        assert not os.path.exists(profile)

"""The fetch engine (browser-server --engine fetch) through FetchBridge,
against a small HTTP server run by the test itself."""
import http.server
import socket
import threading
import time

import pytest

from conftest import Server, shm_entries

DEAD = "Server sent dead result."
STAMP = "Tue, 01 Jan 2019 00:00:00 GMT"
SLEEP_LIMIT = 10  # longest a /sleep answer waits for the test to let it go


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    timeout = 10

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.route(b"")

    def do_POST(self):
        self.route(self.rfile.read(int(self.headers.get("Content-Length") or 0)))

    def send(self, status, body, headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def route(self, body):
        with self.server.lock:
            self.server.connections.add(self.client_address)
        path = self.path
        if path.startswith("/page/"):
            # Spaces around the value: the engine passes it on trimmed.
            self.send(200, ("<p>%s</p>" % path).encode(), [("Last-Modified", "  %s  " % STAMP)])
        elif path == "/plain":
            self.send(200, b"no stamp")
        elif path.startswith("/redirect/"):
            hops = int(path.rsplit("/", 1)[1])
            self.send(302, b"", [("Location", "/redirect/%d" % (hops - 1) if hops > 1 else "/page/landed")])
        elif path == "/to-file":
            self.send(302, b"", [("Location", "file:///etc/passwd")])
        elif path == "/echo":
            text = "method=%s\ncookie=%s\nbody=%s" % (self.command, self.headers.get("Cookie", "-"),
                                                      body.decode())
            self.send(200, text.encode())
        elif path.startswith("/status/"):
            status = int(path.rsplit("/", 1)[1])
            self.send(status, ("status %d" % status).encode(), [("Last-Modified", STAMP)])
        elif path.startswith("/big/"):
            self.send(200, b"b" * int(path.rsplit("/", 1)[1]))
        elif path == "/sleep":
            self.server.release.wait(SLEEP_LIMIT)
            try:
                self.send(200, b"late")
            except OSError:
                pass  # the engine gave up and closed the connection
        else:
            self.send(404, b"unknown")


class Web(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        pass  # a connection the engine dropped is no error here


@pytest.fixture
def web():
    server = Web(("127.0.0.1", 0), Handler)
    server.lock = threading.Lock()
    server.connections = set()
    server.release = threading.Event()
    server.url = "http://127.0.0.1:%d" % server.server_address[1]
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server
    server.release.set()
    server.shutdown()
    server.server_close()
    thread.join()


def start_fetch(workers=4, extra=()):
    return Server(workers=workers, engine="fetch", extra=("--log-level", "ERROR", *extra))


def stop_fetch(server):
    leftovers = shm_entries("Tarv_%d_Ticket_" % server.pid)
    server.cleanup()
    assert leftovers == [], "tickets left behind: %r" % leftovers


@pytest.fixture
def fetch():
    server = start_fetch()
    yield server
    stop_fetch(server)


def get(bridge, server, url, **options):
    ticket = bridge.Push(url, pid=server.pid, options=options)
    assert ticket
    return bridge.Pop(url, ticket)


def free_port():
    """A port nobody listens on (it was free a moment ago)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize("path, last_modified", [("/page/one", STAMP), ("/plain", "")])
def test_page_arrives_with_its_body_and_last_modified(bridge, web, fetch, path, last_modified):
    result = get(bridge, fetch, web.url + path)
    assert result.url == web.url + path
    assert result.lastModified == last_modified
    assert result.src == ("<p>%s</p>" % path if path != "/plain" else "no stamp")


def test_body_arrives_whole(bridge, web, fetch):
    size = 3 * 1024 * 1024
    assert get(bridge, fetch, web.url + "/big/%d" % size).src == "b" * size


def test_redirects_give_the_effective_url(bridge, web, fetch):
    result = get(bridge, fetch, web.url + "/redirect/3")
    assert result.url == web.url + "/page/landed"
    assert result.src == "<p>/page/landed</p>"
    assert result.lastModified == STAMP


@pytest.mark.parametrize("status", [404, 500])
def test_http_error_status_still_returns_the_page(bridge, web, fetch, status):
    result = get(bridge, fetch, web.url + "/status/%d" % status)
    assert (result.url, result.lastModified, result.src) == (web.url + "/status/%d" % status, STAMP,
                                                              "status %d" % status)


@pytest.mark.parametrize("options, expected", [
    ({}, "method=GET\ncookie=-\nbody="),
    ({"post": "a=1&b=two words"}, "method=POST\ncookie=-\nbody=a=1&b=two words"),
    ({"cookie": "session=42; theme=dark"}, "method=GET\ncookie=session=42; theme=dark\nbody="),
    ({"post": "x" * 5000, "cookie": "k=v"}, "method=POST\ncookie=k=v\nbody=" + "x" * 5000),
], ids=["get", "post", "cookie", "long-post-and-cookie"])
def test_post_body_and_cookie_reach_the_server(bridge, web, fetch, options, expected):
    assert get(bridge, fetch, web.url + "/echo", **options).src == expected


@pytest.mark.parametrize("url", [
    "http://127.0.0.1:%d/refused" % free_port(),   # connection refused
    "file:///etc/passwd",                           # not http or https
    "ftp://127.0.0.1/",
    "WEB/to-file",                                  # a redirect to file://
    "WEB/redirect/11",                              # more redirects than allowed
    "not a url",
])
def test_no_complete_response_gives_a_dead_result(bridge, web, fetch, url):
    url = url.replace("WEB", web.url)
    with pytest.raises(RuntimeError, match="^%s$" % DEAD):
        get(bridge, fetch, url)


def test_bad_time_limit_option_gives_a_dead_result(bridge, web, fetch):
    with pytest.raises(RuntimeError, match="^%s$" % DEAD):
        get(bridge, fetch, web.url + "/page/negative", keep=-1)
    assert get(bridge, fetch, web.url + "/page/after").src == "<p>/page/after</p>"


def test_transfer_longer_than_keep_gives_a_dead_result(bridge, web, fetch):
    began = time.monotonic()
    with pytest.raises(RuntimeError, match="^%s$" % DEAD):
        get(bridge, fetch, web.url + "/sleep", keep=300)
    assert time.monotonic() - began < SLEEP_LIMIT
    # The worker is free again at once.
    assert get(bridge, fetch, web.url + "/page/next", keep=300).src == "<p>/page/next</p>"


def test_engine_time_out_bounds_a_transfer_without_keep(bridge, web):
    server = start_fetch(extra=("--engine-timeout", "300"))
    try:
        began = time.monotonic()
        with pytest.raises(RuntimeError, match="^%s$" % DEAD):
            get(bridge, server, web.url + "/sleep", keep=0)
        assert time.monotonic() - began < SLEEP_LIMIT
    finally:
        stop_fetch(server)


def test_a_worker_keeps_its_connection_between_requests(bridge, web):
    server = start_fetch(workers=1)
    try:
        for i in range(10):
            assert get(bridge, server, web.url + "/page/%d" % i).src == "<p>/page/%d</p>" % i
    finally:
        stop_fetch(server)
    assert len(web.connections) == 1, web.connections


def test_sixteen_threads_each_get_their_own_pages(bridge, web, fetch):
    threads, pages = 16, 200
    right, wrong, errors = [], [], []

    def crawl(t):
        for i in range(t, pages, threads):
            url = web.url + "/page/%d-%d" % (t, i)
            try:
                result = get(bridge, fetch, url)
            except Exception as error:  # noqa: BLE001 - reported below
                errors.append((url, error))
                continue
            if (result.url, result.src) == (url, "<p>/page/%d-%d</p>" % (t, i)):
                right.append(url)
            else:
                wrong.append((url, result.url, result.src))

    workers = [threading.Thread(target=crawl, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert errors == [] and wrong == []
    assert sorted(right) == sorted(web.url + "/page/%d-%d" % (i % threads, i) for i in range(pages))

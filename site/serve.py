#!/usr/bin/env python3
"""The local demo site: a few linked pages, a redirect, a page with a
Last-Modified header, an echo page and a page built by JavaScript.

    serve.py [--slow SECONDS] [PORT]
                        serve on 127.0.0.1:PORT (default 0: a free port);
                        the port is printed alone on the first line; with
                        --slow every answer waits SECONDS first (to watch a
                        crawl at work, or to interrupt one)
    serve.py --list     print the path of every page of the site and exit

Standard library only. HTTP/1.1 with keep-alive, one thread per connection.
"""
import html
import http.server
import signal
import sys
import time

ARTICLES = 5
LAST_MODIFIED = "Wed, 21 Oct 2015 07:28:00 GMT"
JS_TEXT = "Built by JavaScript"

# path -> (title, paragraph, links)
STATIC = {
    "/": ("Tarv demo site", "A small site for the example crawler.",
          ["/about", "/articles/1", "/old", "/modified", "/echo", "/js"]),
    "/about": ("About", "This site runs on your own machine, on 127.0.0.1 only.",
               ["/", "/articles/1"]),
    "/modified": ("Modified", "This page says when it last changed: " + LAST_MODIFIED + ".",
                  ["/", "/about"]),
}
for n in range(1, ARTICLES + 1):
    STATIC["/articles/%d" % n] = (
        "Article %d" % n, "Article number %d of %d." % (n, ARTICLES),
        ["/", "/articles/%d" % (n % ARTICLES + 1), "/articles/%d" % ((n - 2) % ARTICLES + 1)])

REDIRECTS = {"/old": "/about"}  # 301 Moved Permanently

# Every page of the site (the redirect is not a page).
PAGES = sorted(list(STATIC) + ["/echo", "/js"])


def page(title, body, links=()):
    items = "".join('<li><a href="%s">%s</a></li>' % (html.escape(l), html.escape(l)) for l in links)
    return ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title></head>\n'
            '<body><h1>%s</h1>\n%s\n<ul>%s</ul>\n</body></html>\n'
            % (html.escape(title), html.escape(title), body, items))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive; every answer has a Content-Length
    server_version = "TarvDemoSite/1.0"
    timeout = 30  # an idle kept-alive connection is closed after this many seconds
    disable_nagle_algorithm = True  # headers and body go out without waiting for an ACK

    def do_GET(self):
        self.answer(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.answer(self.rfile.read(length))

    def answer(self, body):
        if self.server.slow:
            time.sleep(self.server.slow)
        path = self.path.split("?", 1)[0]
        headers = {}
        status = 200
        if path in STATIC:
            title, text, links = STATIC[path]
            content = page(title, "<p>%s</p>" % html.escape(text), links)
            if path == "/modified":
                headers["Last-Modified"] = LAST_MODIFIED
        elif path in REDIRECTS:
            status = 301
            headers["Location"] = REDIRECTS[path]
            content = page("Moved", '<p>Now at <a href="%s">%s</a>.</p>' % (REDIRECTS[path], REDIRECTS[path]))
        elif path == "/echo":
            cookie = self.headers.get("Cookie", "")
            received = body.decode("utf-8", "replace")
            content = page("Echo", '<p>Method: <span id="method">%s</span></p>\n'
                                   '<p>Cookie: <span id="cookie">%s</span></p>\n'
                                   '<p>Body: <span id="body">%s</span></p>'
                           % (self.command, html.escape(cookie), html.escape(received)), ["/"])
        elif path == "/js":
            content = page("JavaScript", '<p id="content"></p>\n<script>\n'
                           'document.getElementById("content").textContent = "%s";\n</script>' % JS_TEXT, ["/"])
        else:
            status = 404
            content = page("Not found", "<p>No page at %s.</p>" % html.escape(path), ["/"])
        data = content.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)


def stop(signum, frame):
    raise SystemExit(0)


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(PAGES))
        return 0
    args = argv[1:]
    slow = 0.0
    try:
        if args[:1] == ["--slow"]:
            slow = float(args[1])
            args = args[2:]
        if len(args) > 1 or slow < 0:
            raise ValueError("too many arguments")
        port = int(args[0]) if args else 0
    except (ValueError, IndexError):
        print(__doc__, file=sys.stderr)
        return 2
    signal.signal(signal.SIGTERM, stop)
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler) as server:
        server.slow = slow
        print(server.server_address[1], flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

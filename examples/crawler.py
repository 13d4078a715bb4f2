#!/usr/bin/env python3
"""Example crawler: follows the links of a site breadth-first, on one host,
with several threads, getting every page through the browser server.

    PYTHONPATH=build/python /usr/bin/python3 examples/crawler.py \\
        --pid SERVER_PID --start http://127.0.0.1:PORT/ [--module FetchBridge]

Each page's source is saved under --out (file names made from the URL path;
with --snapshots, a non-empty snapshot goes beside it as .png), listed in
pages.tsv there, and shown in a summary table at the end. Before the crawl
one POST with a cookie goes to the --echo page, to show those two options.
Exits 1 when a page failed or nothing came back.
"""
import argparse
import importlib
import os
import queue
import re
import signal
import sys
import threading
import time
from html.parser import HTMLParser
from urllib.parse import urldefrag, urljoin, urlsplit


class PageParser(HTMLParser):
    """Collects the links (<a href>) and the visible text of a page."""

    def __init__(self):
        super().__init__()
        self.links, self.text, self._skip = [], [], 0

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.links += [value for name, value in attrs if name == "href" and value]
        if tag in ("script", "style", "title"):
            self._skip += 1

    def handle_endtag(self, tag):
        if tag in ("script", "style", "title") and self._skip:
            self._skip -= 1

    def handle_data(self, data):
        if not self._skip and data.strip():
            self.text.append(data.strip())


def parse(src):
    parser = PageParser()
    parser.feed(src)
    parser.close()
    return parser


def file_name(url):
    """about.html for /about, articles_1.html for /articles/1, index.html for /."""
    parts = urlsplit(url)
    name = parts.path.strip("/").replace("/", "_") or "index"
    if parts.query:
        name += "_" + parts.query
    name = re.sub(r"[^A-Za-z0-9._-]", "_", name)
    return name if name.endswith((".html", ".htm")) else name + ".html"


def option_value(text):
    """--option values: true/false become bool, digits int, the rest str."""
    if text.lower() in ("true", "false"):
        return text.lower() == "true"
    return int(text) if re.fullmatch(r"-?\d+", text) else text


class Crawler:
    def __init__(self, bridge, pid, start, out, snapshots, options):
        self.bridge, self.pid, self.out, self.snapshots = bridge, pid, out, snapshots
        self.engine = bridge.__name__
        self.options = dict(options, snapshot=snapshots)
        self.host = urlsplit(start).netloc
        self.todo = queue.Queue()
        self.lock = threading.Lock()
        self.seen = {start}
        self.saved = set()
        self.pages = []      # (url asked for, url that came back, lastModified, bytes, seconds, file,
                             #  snapshot bytes or None)
        self.failures = []   # (url, error)
        self.todo.put(start)

    def fetch(self, url, options):
        """One page: Push, then Pop on the same thread. Returns (result, seconds)."""
        began = time.monotonic()
        ticket = self.bridge.Push(url, pid=self.pid, options=options)
        if not ticket:
            raise RuntimeError("push failed (is the server running?)")
        result = self.bridge.Pop(url, ticket)
        return result, time.monotonic() - began

    def same_site(self, link):
        parts = urlsplit(link)
        return parts.scheme in ("http", "https") and parts.netloc == self.host

    def work(self):
        while True:
            url = self.todo.get()
            if url is None:
                return
            try:
                self.visit(url)
            except Exception as error:  # e.g. the page could not be saved
                with self.lock:
                    self.failures.append((url, repr(error)))
                    print("FAILED  %s: %r" % (url, error), flush=True)
            finally:
                self.todo.task_done()

    def visit(self, url):
        try:
            result, seconds = self.fetch(url, self.options)
        except RuntimeError as error:
            with self.lock:
                self.failures.append((url, str(error)))
                print("FAILED  %s: %s" % (url, error), flush=True)
            return
        src = result.src.encode("utf-8", "surrogateescape")
        links = [urldefrag(urljoin(result.url, href))[0] for href in parse(result.src).links]
        with self.lock:
            self.seen.add(result.url)  # a redirect's target needs no second visit
            name = file_name(result.url)
            first = name not in self.saved
            self.saved.add(name)
            new = [link for link in dict.fromkeys(links) if self.same_site(link) and link not in self.seen]
            self.seen.update(new)
            snapshot = len(result.snapshot) if result.snapshot else None
            self.pages.append((url, result.url, result.lastModified, len(src), seconds, name, snapshot))
            shown = url if result.url == url else "%s -> %s" % (url, result.url)
            print("%4d  %6.1f ms  %7d B  %s" % (len(self.pages), seconds * 1000, len(src), shown), flush=True)
        if first:
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(src)
            if self.snapshots and result.snapshot:
                with open(os.path.join(self.out, name.rsplit(".", 1)[0] + ".png"), "wb") as f:
                    f.write(result.snapshot)
        for link in new:
            self.todo.put(link)

    def run(self, threads):
        workers = [threading.Thread(target=self.work, daemon=True) for _ in range(threads)]
        for worker in workers:
            worker.start()
        self.todo.join()
        for _ in workers:
            self.todo.put(None)
        for worker in workers:
            worker.join()

    def post_echo(self, url):
        """POSTs a body with a cookie and shows what the page says it got."""
        options = dict(self.options, post="greeting=hello&from=crawler", cookie="session=demo-42")
        try:
            result, seconds = self.fetch(url, options)
        except RuntimeError as error:
            self.failures.append((url + " (POST)", str(error)))
            print("FAILED  POST %s: %s" % (url, error), flush=True)
            return
        print("POST %s with a cookie, %.1f ms; the page says: %s"
              % (url, seconds * 1000, " ".join(parse(result.src).text)), flush=True)

    def summary(self, elapsed):
        rows = sorted(self.pages)
        shown = [url if final == url else "%s -> %s" % (url, urlsplit(final).path) for url, final, *_ in rows]
        width = max([len("URL")] + [len(text) for text in shown])
        print()
        engine = max(len("engine"), len(self.engine))
        print("%-*s  %-*s  %-29s  %8s  %8s  %8s"
              % (width, "URL", engine, "engine", "last-modified", "bytes", "snapshot", "ms"))
        print("  ".join("-" * n for n in (width, engine, 29, 8, 8, 8)))
        for text, (_, _, modified, size, seconds, _, snapshot) in zip(shown, rows):
            print("%-*s  %-*s  %-29s  %8d  %8s  %8.1f" % (width, text, engine, self.engine, modified or "-", size,
                                                        "-" if snapshot is None else snapshot, seconds * 1000))
        rate = len(rows) / elapsed if elapsed > 0 else 0.0
        print("%d pages in %.2f s: %.1f pages/s; %d failed" % (len(rows), elapsed, rate, len(self.failures)))
        with open(os.path.join(self.out, "pages.tsv"), "w", encoding="utf-8") as f:
            f.write("url\tfinal_url\tlast_modified\tbytes\tms\tfile\n")
            for url, final, modified, size, seconds, name, _ in rows:
                f.write("%s\t%s\t%s\t%d\t%.1f\t%s\n" % (url, final, modified, size, seconds * 1000, name))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", default="FetchBridge", choices=["FetchBridge", "RenderBridge"],
                        help="bridge module, and so the kind of server (default FetchBridge)")
    parser.add_argument("--pid", type=int, required=True, help="process id of the browser server")
    parser.add_argument("--start", required=True, help="first URL; only its host is crawled")
    parser.add_argument("--out", default=os.path.join("out", "demo", "fetch"), help="folder for the pages")
    parser.add_argument("--threads", type=int, default=4, help="pages fetched at once (default 4)")
    parser.add_argument("--snapshots", action="store_true", help="ask for snapshots and save them as .png")
    parser.add_argument("--echo", default="/echo", help="page to POST to once before the crawl ('' for none)")
    parser.add_argument("--option", action="append", default=[], metavar="KEY=VALUE",
                        help="request option for every page, e.g. keep=5000 (repeatable)")
    parser.add_argument("--log-level", default="WARN",
                        help="level of the module's log on the console (default WARN; INFO shows every request)")
    args = parser.parse_args(argv)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # closed output (as by `| head`): stop, as other tools do

    bridge = importlib.import_module(args.module)
    bridge.ConfigLogger(logLevel=args.log_level)
    options = {}
    for item in args.option:
        key, _, value = item.partition("=")
        options[key] = option_value(value)
    os.makedirs(args.out, exist_ok=True)
    crawler = Crawler(bridge, args.pid, args.start, args.out, args.snapshots, options)

    if args.echo:
        crawler.post_echo(urljoin(args.start, args.echo))
    print("Crawling %s with %d threads through %s (server %d)" % (args.start, args.threads, args.module, args.pid))
    began = time.monotonic()
    crawler.run(max(1, args.threads))
    crawler.summary(time.monotonic() - began)
    print("Sources saved in %s" % args.out)
    return 1 if crawler.failures or not crawler.pages else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Soak: many round trips through FetchBridge and a browser-server (script
engine), watching the resident memory of client and server and the named
objects of the run in /dev/shm.

    /usr/bin/python3 tools/soak.py [--build build] [--requests 100000]
        [--threads 16] [--bound 16] [--workers 4] [--every 10000]
        [--max-seconds 1800]

Prints one line every --every round trips, then a summary. Exits non-zero
when a round trip failed or came back with another request's page, or when
an object of the run is still in /dev/shm once the server has stopped.
Bounded in count and in time: it stops by itself after --max-seconds.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECTION = "Tarv.browser.curl.Client"


def parse():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="build folder (default: build)")
    parser.add_argument("--requests", type=int, default=100000, help="round trips in all (default 100000)")
    parser.add_argument("--threads", type=int, default=16, help="client threads (default 16)")
    parser.add_argument("--bound", type=int, default=16, help="the module's admission bound, maxThread (default 16)")
    parser.add_argument("--workers", type=int, default=4, help="server workers (default 4)")
    parser.add_argument("--every", type=int, default=10000, help="round trips between two samples (default 10000)")
    parser.add_argument("--max-seconds", type=float, default=1800, help="stop after this long (default 1800)")
    return parser.parse_args()


def rss_kib(pid):
    try:
        with open("/proc/%s/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return 0


def objects_of(server_pid):
    fragments = ("Tarv_Browser_%d_" % server_pid, "Tarv_%d_Ticket_" % server_pid)
    return sorted(name for name in os.listdir("/dev/shm") if any(f in name for f in fragments))


class Run:
    """The round trips of the threads: counted, checked, sampled."""

    def __init__(self, bridge, server_pid, args):
        self.bridge = bridge
        self.server_pid = server_pid
        self.args = args
        self.lock = threading.Lock()
        self.next_index = 0
        self.done = 0
        self.failed = []
        self.wrong = []
        self.samples = []
        self.started = time.monotonic()
        self.deadline = self.started + args.max_seconds

    def take_index(self):
        with self.lock:
            if self.next_index >= self.args.requests or time.monotonic() > self.deadline:
                return None
            self.next_index += 1
            return self.next_index - 1

    def work(self, thread):
        while True:
            index = self.take_index()
            if index is None:
                return
            url = "script://echo/soak/%d/%d" % (thread, index)
            cookie = "c%d" % index
            try:
                ticket = self.bridge.Push(url, pid=self.server_pid, options={"cookie": cookie})
                page = self.bridge.Pop(url, ticket)
            except RuntimeError as error:
                with self.lock:
                    self.failed.append((url, str(error)))
                continue
            ok = page.url == url and ("cookie=" + cookie) in page.src.splitlines()
            with self.lock:
                self.done += 1
                if not ok:
                    self.wrong.append(url)
                if self.done % self.args.every == 0 or self.done == 1000:
                    self.sample()

    def sample(self):
        """One line of the table; called with the lock held."""
        row = (self.done, time.monotonic() - self.started, rss_kib("self"), rss_kib(self.server_pid),
               len(objects_of(self.server_pid)))
        self.samples.append(row)
        print("%9d %9.1f %12d %12d %12d" % row, flush=True)


def main():
    args = parse()
    server_binary = os.path.join(args.build, "server", "browser-server")
    modules = os.path.join(args.build, "python")
    if not os.path.exists(server_binary) or not os.path.exists(os.path.join(modules, "FetchBridge.so")):
        sys.exit("soak: build first (make build): %s or %s/FetchBridge.so is missing" % (server_binary, modules))

    with tempfile.TemporaryDirectory(prefix="tarv-soak-") as work:
        # The module reads its INI once, when it loads: write it first.
        ini = os.path.join(work, "soak.ini")
        with open(ini, "w") as out:
            out.write("[%s]\nmaxThread=%d\nlogLevel=WARN\nlogFile=%s\n" % (SECTION, args.bound,
                                                                          os.path.join(work, "client.log")))
        os.environ["TARV_BROWSER_CURL_CONFIG"] = ini
        sys.path.insert(0, modules)
        import FetchBridge

        with open(os.path.join(work, "server.log"), "w") as server_log:
            server = subprocess.Popen([server_binary, "--engine", "script", "--workers", str(args.workers),
                                       "--log-level", "WARN"], stdout=subprocess.PIPE, stderr=server_log, text=True)
            try:
                first = server.stdout.readline().strip()
                if first != str(server.pid):
                    sys.exit("soak: browser-server did not start: %r" % first)
                print("soak: %d round trips, %d threads, bound %d, %d server workers (server pid %d)"
                      % (args.requests, args.threads, args.bound, args.workers, server.pid))
                print("%9s %9s %12s %12s %12s" % ("requests", "seconds", "client KiB", "server KiB", "shm objects"))
                run = Run(FetchBridge, server.pid, args)
                threads = [threading.Thread(target=run.work, args=(n,)) for n in range(args.threads)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                with run.lock:
                    if not run.samples or run.samples[-1][0] != run.done:
                        run.sample()
                elapsed = time.monotonic() - run.started
            finally:
                if server.poll() is None:
                    server.send_signal(signal.SIGTERM)
                code = server.wait(timeout=60)
                server.stdout.close()
        left = objects_of(server.pid)

    first_sample = next((row for row in run.samples if row[0] >= 1000), run.samples[0])
    last_sample = run.samples[-1]
    print("soak: %d of %d round trips in %.1f s (%.0f/s); failed %d, wrong page %d, server exit status %d"
          % (run.done, args.requests, elapsed, run.done / elapsed if elapsed else 0, len(run.failed), len(run.wrong),
             code))
    print("soak: VmRSS after %d / at the end: client %d / %d KiB, server %d / %d KiB"
          % (first_sample[0], first_sample[2], last_sample[2], first_sample[3], last_sample[3]))
    print("soak: objects of the run left in /dev/shm after the server stopped: %d" % len(left))
    for url, error in run.failed[:5]:
        print("soak: failed %s: %s" % (url, error))
    for url in run.wrong[:5]:
        print("soak: wrong page for %s" % url)
    ok = run.done == args.requests and not run.failed and not run.wrong and not left and code == 0
    print("soak: %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

"""The Python side of the benchmarks: one measurement per run, its samples
written as JSON ({"series": [...]}, the same shape as the native programs').

  pyclient.py roundtrip --module FetchBridge --pid P --url U --threads T
                        --warmup W --reps R --out FILE [--src-bytes N]
                        [--snapshot-bytes N] [--options JSON]
      Push + Pop on each of T threads; URL U + "/<name>-<thread>-<n>".
  pyclient.py http --url http://127.0.0.1:PORT/page --warmup W --reps R
                   --out FILE [--bytes N]
      one keep-alive HTTP/1.1 connection of http.client, request after request.
  pyclient.py crawl-bridge --module M --pid P --urls FILE --threads T
                           --passes K --out FILE [--options JSON] [--warmup N]
      every URL of FILE once per pass, T threads taking URLs from a queue.
  pyclient.py crawl-pycurl --urls FILE --threads T --passes K --out FILE
                           [--warmup N]
      the same crawl with pycurl's CurlMulti and T easy handles in flight.

Is run by bench/run.py with the module's log (standard output) discarded.
"""
import argparse
import http.client
import importlib
import io
import json
import os
import queue
import sys
import threading
import time
import urllib.parse


MOST_FAILURES_IN_A_ROW = 10


def write(path, series):
    with open(path, "w") as out:
        json.dump({"series": series}, out)


def series(name, threads, wall, durations, ends, errors=0, **extra):
    entry = {"name": name, "threads": threads, "wall_ns": wall, "errors": errors,
             "durations_ns": durations, "ends_ns": ends}
    entry.update(extra)
    return entry


def run_threads(name, threads, warmup, reps, step):
    """Warm-up, then `reps` timed steps on every thread, started together."""
    barrier = threading.Barrier(threads + 1)
    results = [None] * threads
    clock = time.perf_counter_ns

    def body(index):
        for n in range(warmup):
            step(index, -1 - n)
        barrier.wait()
        durations, ends, errors = [], [], 0
        for n in range(reps):
            begin = clock()
            ok = step(index, n)
            end = clock()
            if ok:
                durations.append(end - begin)
                ends.append(end)
            else:
                errors += 1
        results[index] = (durations, ends, errors)

    pool = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = clock()
    for t in pool:
        t.join()
    durations = [d for r in results for d in r[0]]
    ends = [e - start for r in results for e in r[1]]
    return series(name, threads, (max(ends) if ends else 0), durations, ends, sum(r[2] for r in results))


def roundtrip(args):
    bridge = importlib.import_module(args.module)
    options = json.loads(args.options)

    failures = [0]

    def step(thread, n):
        ok = round_trip(thread, n)
        failures[0] = 0 if ok else failures[0] + 1
        if failures[0] >= MOST_FAILURES_IN_A_ROW:
            # A server that went away makes every Push wait for it in vain.
            sys.stderr.write("pyclient: %d round trips in a row failed; giving up\n" % failures[0])
            os._exit(3)
        return ok

    def round_trip(thread, n):
        url = "%s/%s-%d-%d" % (args.url, args.name, thread, n)
        try:
            ticket = bridge.Push(url, True, args.pid, options)
            if not ticket:
                return False
            result = bridge.Pop(url, ticket)
        except RuntimeError:
            return False
        if args.src_bytes >= 0 and len(result.src) != args.src_bytes:
            return False
        return args.snapshot_bytes < 0 or len(result.snapshot) == args.snapshot_bytes

    write(args.out, [run_threads(args.name, args.threads, args.warmup, args.reps, step)])


def http_keepalive(args):
    parts = urllib.parse.urlsplit(args.url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port)
    connection.connect()
    first_socket = connection.sock

    def step(thread, n):
        connection.request("GET", parts.path)
        response = connection.getresponse()
        body = response.read()
        return response.status == 200 and (args.bytes < 0 or len(body) == args.bytes)

    result = run_threads(args.name, 1, args.warmup, args.reps, step)
    if connection.sock is not first_socket:  # reconnected: not keep-alive after all
        result["errors"] += 1
    connection.close()
    write(args.out, [result])


def read_urls(path):
    with open(path) as source:
        return [line.strip() for line in source if line.strip()]


def crawl_series(name, threads, passes):
    """One pass = every URL once; the completion times of each pass give its
    pages per second in windows."""
    walls = [p["wall"] for p in passes]
    durations = [d for p in passes for d in p["durations"]]
    return series(name, threads, sum(walls), durations, [], sum(p["errors"] for p in passes),
                  pass_wall_ns=walls, pass_pages=[p["pages"] for p in passes],
                  pass_ends_ns=[p["ends"] for p in passes])


def crawl_bridge(args):
    bridge = importlib.import_module(args.module)
    options = json.loads(args.options)
    urls = read_urls(args.urls)
    clock = time.perf_counter_ns

    def one_pass(batch):
        work = queue.Queue()
        for url in batch:
            work.put(url)
        lock = threading.Lock()
        durations, ends, errors = [], [], [0]
        start = clock()

        def body():
            while True:
                try:
                    url = work.get_nowait()
                except queue.Empty:
                    return
                begin = clock()
                ok = False
                try:
                    ticket = bridge.Push(url, True, args.pid, options)
                    if ticket:
                        result = bridge.Pop(url, ticket)
                        ok = len(result.src) > 0 and result.lastModified != "DEAD"
                except RuntimeError:
                    ok = False
                end = clock()
                with lock:
                    if ok:
                        durations.append(end - begin)
                        ends.append(end - start)
                    else:
                        errors[0] += 1

        pool = [threading.Thread(target=body) for _ in range(args.threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return {"wall": clock() - start, "durations": durations, "ends": ends, "errors": errors[0],
                "pages": len(durations)}

    if args.warmup:
        one_pass(urls[:args.warmup])
    passes = [one_pass(urls) for _ in range(args.passes)]
    write(args.out, [crawl_series(args.name, args.threads, passes)])


def crawl_pycurl(args):
    import pycurl

    urls = read_urls(args.urls)
    clock = time.perf_counter_ns
    handles = []
    for _ in range(args.threads):
        easy = pycurl.Curl()
        easy.setopt(pycurl.NOSIGNAL, 1)
        easy.setopt(pycurl.TCP_NODELAY, 1)
        handles.append(easy)
    multi = pycurl.CurlMulti()

    def one_pass(batch):
        pending = list(reversed(batch))
        free = list(handles)
        durations, ends, errors = [], [], 0
        started = {}

        def launch():
            while free and pending:
                easy = free.pop()
                buffer = io.BytesIO()
                easy.setopt(pycurl.URL, pending.pop())
                easy.setopt(pycurl.WRITEDATA, buffer)
                easy.buffer = buffer
                started[id(easy)] = clock()
                multi.add_handle(easy)

        start = clock()
        launch()
        active = len(started)
        while active:
            while True:
                status, active = multi.perform()
                if status != pycurl.E_CALL_MULTI_PERFORM:
                    break
            while True:
                queued, done, failed = multi.info_read()
                now = clock()
                for easy in done:
                    multi.remove_handle(easy)
                    if easy.getinfo(pycurl.RESPONSE_CODE) == 200 and easy.buffer.tell() > 0:
                        durations.append(now - started.pop(id(easy)))
                        ends.append(now - start)
                    else:
                        started.pop(id(easy))
                        errors += 1
                    free.append(easy)
                for easy, _, _ in failed:
                    multi.remove_handle(easy)
                    started.pop(id(easy))
                    errors += 1
                    free.append(easy)
                if not queued:
                    break
            launch()
            active = len(started)
            if active:
                multi.select(1.0)
        return {"wall": clock() - start, "durations": durations, "ends": ends, "errors": errors,
                "pages": len(durations)}

    if args.warmup:
        one_pass(urls[:args.warmup])
    passes = [one_pass(urls) for _ in range(args.passes)]
    for easy in handles:
        easy.close()
    multi.close()
    write(args.out, [crawl_series(args.name, args.threads, passes)])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["roundtrip", "http", "crawl-bridge", "crawl-pycurl"])
    parser.add_argument("--module", default="FetchBridge")
    parser.add_argument("--pid", type=int, default=0)
    parser.add_argument("--url", default="")
    parser.add_argument("--urls", default="")
    parser.add_argument("--name", default="python")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--warmup", type=int, default=100)
    parser.add_argument("--reps", type=int, default=1000)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--src-bytes", type=int, default=-1)
    parser.add_argument("--snapshot-bytes", type=int, default=-1)
    parser.add_argument("--bytes", type=int, default=-1)
    parser.add_argument("--options", default="{}")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    {"roundtrip": roundtrip, "http": http_keepalive, "crawl-bridge": crawl_bridge,
     "crawl-pycurl": crawl_pycurl}[args.mode](args)


if __name__ == "__main__":
    sys.exit(main())

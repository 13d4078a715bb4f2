"""Reliability: a server killed or stopped under load, a client killed in the
middle of a request, many threads over a small bound, resident memory over a
run, the interpreter ending while threads still wait, and who may open a
request's objects.

Most scenarios run in a child interpreter of their own, so that the module
loads with the scenario's INI (bound, log file) and the test can watch the
process from outside. The child talks to the test in lines on its standard
streams; its log goes to a file."""
import json
import os
import queue
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import remove_shm, server_binary, shm_entries

# One long wait of Pop for the answer; after it Pop tests the server's liveness.
SLICE_S = 15.0
# What a failure may take beyond the slice on a loaded two-core machine.
MARGIN_S = 5.0
MIB = 1024 * 1024

# Every child starts with this: the module, its JSON arguments (argv[1]), and
# how it speaks to the test.
PRELUDE = '''
import json, os, sys, threading, time
import FetchBridge as bridge
ARGS = json.loads(sys.argv[1])

def say(*words):
    print(*words, flush=True)

def report(value):
    say("REPORT", json.dumps(value))

def rss_kib(pid="self"):
    with open("/proc/%s/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

def ticket_objects(pid):
    return sorted(n for n in os.listdir("/dev/shm") if ("Tarv_%d_Ticket_" % pid) in n)
'''


class ServerProc:
    """browser-server --engine script as a child of the test. Its log goes to
    a file: a pipe that nobody reads would fill up and stall the server."""

    def __init__(self, log_dir, workers=4, extra=()):
        self.log_path = os.path.join(str(log_dir), "server-%d.log" % time.monotonic_ns())
        self._log = open(self.log_path, "w")
        self.process = subprocess.Popen([server_binary(), "--engine", "script", "--workers", str(workers), *extra],
                                        stdout=subprocess.PIPE, stderr=self._log, text=True)
        line = self.process.stdout.readline().strip()
        self.pid = self.process.pid
        if line != str(self.pid):
            self.cleanup()
            raise RuntimeError("browser-server did not start: %r" % line)

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Sends `sig` and reaps the server (a zombie would still look alive)."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        return self.process.wait(timeout=timeout)

    def objects(self):
        return shm_entries("Tarv_Browser_%d_" % self.pid) + self.tickets()

    def tickets(self):
        return shm_entries("Tarv_%d_Ticket_" % self.pid)

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def cleanup(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self._log.close()
        remove_shm("Tarv_Browser_%d_" % self.pid)
        remove_shm("Tarv_%d_Ticket_" % self.pid)


@pytest.fixture
def servers(tmp_path):
    """Starts servers on demand; kills them and removes their objects at the end."""
    made = []

    def start(**kwargs):
        made.append(ServerProc(tmp_path, **kwargs))
        return made[-1]

    yield start
    for server in made:
        server.cleanup()


def write_ini(tmp_path, bound, level="INFO"):
    """The module's INI for a child: its bound, and its log in a file."""
    ini = tmp_path / ("bound-%d-%d.ini" % (bound, time.monotonic_ns()))
    log = tmp_path / (ini.stem + ".log")
    ini.write_text("[Tarv.browser.curl.Client]\nmaxThread=%d\nlogLevel=%s\nlogFile=%s\n" % (bound, level, log))
    return ini


class Child:
    """A Python program of a scenario, speaking in lines: the test waits for a
    line with expect() and answers with send()."""

    def __init__(self, code, args, ini):
        env = dict(os.environ, TARV_BROWSER_CURL_CONFIG=str(ini))
        self.process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(PRELUDE + code), json.dumps(args)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=env)
        self.lines = queue.Queue()
        self.errors = []
        self.readers = [threading.Thread(target=self._read, args=(self.process.stdout, self.lines.put), daemon=True),
                        threading.Thread(target=self._read, args=(self.process.stderr, self.errors.append), daemon=True)]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _read(stream, sink):
        for line in stream:
            sink(line.rstrip("\n"))
        sink(None)

    def expect(self, word, timeout):
        """The rest of the first line that starts with `word`."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no %r from the child within %.0f s; stderr: %s"
                                     % (word, timeout, "\n".join(filter(None, self.errors))[-3000:]))
            if line is None:
                self.process.wait(timeout=30)
                raise AssertionError("child ended (status %s) before %r; stderr: %s"
                                     % (self.process.returncode, word, "\n".join(filter(None, self.errors))[-3000:]))
            if line == word or line.startswith(word + " "):
                return line[len(word) + 1:]

    def report(self, timeout):
        return json.loads(self.expect("REPORT", timeout))

    def send(self, text):
        self.process.stdin.write(str(text) + "\n")
        self.process.stdin.flush()

    def finish(self, timeout=30):
        """Closes its input and waits for its exit status."""
        self.process.stdin.close()
        return self.process.wait(timeout=timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self.readers:
            reader.join(timeout=10)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except BrokenPipeError:
                pass


# ---------------------------------------------------------------------------
# The server killed with SIGKILL while threads wait in Pop.

KILLED_SERVER_CHILD = '''
N = ARGS["threads"]
pushed = threading.Barrier(N + 1)
failed = threading.Barrier(N + 1)
second = {}
second_up = threading.Event()
outcomes = [None] * N

def work(n):
    url = "script://silent/%d" % n
    ticket = bridge.Push(url, pid=ARGS["pid"])
    pushed.wait()
    try:
        bridge.Pop(url, ticket)
        error = None
    except RuntimeError as e:
        error = str(e)
    failed_at = time.monotonic()
    failed.wait()
    second_up.wait()
    url = "script://echo/again/%d" % n
    started = time.monotonic()
    again = bridge.Push(url, pid=second["pid"])
    page = bridge.Pop(url, again).url if again else None
    outcomes[n] = {"pushed": ticket != "", "error": error, "failed_at": failed_at,
                   "served_again": page == url, "again_s": time.monotonic() - started}

threads = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(N)]
for t in threads:
    t.start()
pushed.wait(timeout=60)
time.sleep(0.3)  # every thread is inside Pop by now
say("WAITING")
sys.stdin.readline()  # the server is gone
try:
    failed.wait(timeout=ARGS["fail_within"])
    say("FAILED")
except threading.BrokenBarrierError:
    say("FAILED broken")
second["pid"] = int(sys.stdin.readline())
second_up.set()
for t in threads:
    t.join(timeout=30)
report({"outcomes": outcomes, "hung": [n for n, t in enumerate(threads) if t.is_alive()],
        "tickets": ticket_objects(ARGS["pid"]) + ticket_objects(second["pid"])})
sys.stdin.readline()
'''


def test_server_killed_fails_every_waiting_pop_within_one_slice_and_frees_the_gate(tmp_path, servers):
    threads = 32
    first = servers()
    child = Child(KILLED_SERVER_CHILD, {"pid": first.pid, "threads": threads, "fail_within": SLICE_S + 2 * MARGIN_S},
                  write_ini(tmp_path, bound=threads))
    try:
        child.expect("WAITING", timeout=60)
        killed_at = time.monotonic()
        first.stop(signal.SIGKILL)
        child.send("KILLED")
        assert child.expect("FAILED", timeout=SLICE_S + 3 * MARGIN_S) == "", "some thread never returned from Pop"
        # The bound equals the thread count: one entry left behind in the gate
        # would make the push of the last thread wait instead of going through.
        second = servers()
        child.send(second.pid)
        report = child.report(timeout=60)
        child.finish()
    finally:
        child.close()
    assert report["hung"] == []
    outcomes = report["outcomes"]
    assert all(o["pushed"] for o in outcomes)
    assert [o["error"] for o in outcomes] == ["Server terminated."] * threads
    latest = max(o["failed_at"] for o in outcomes) - killed_at
    print("server SIGKILL: %d waiting threads failed within %.1f s of the kill" % (threads, latest))
    assert latest <= SLICE_S + MARGIN_S
    assert all(o["served_again"] for o in outcomes)
    assert max(o["again_s"] for o in outcomes) < MARGIN_S, "the new server served the same threads at once"
    assert report["tickets"] == [], "each Pop removed its ticket objects when it ended"


# ---------------------------------------------------------------------------
# The server stopped with SIGTERM while many threads make round trips.

STOPPED_SERVER_CHILD = '''
N = ARGS["threads"]
lock = threading.Lock()
count = [0]
loaded = threading.Event()
outcomes = [None] * N

def work(n):
    answered, wrong, i = 0, [], 0
    while True:
        url = "script://delay/50/%d/%d" % (n, i)
        i += 1
        ticket = bridge.Push(url, wait=False, pid=ARGS["pid"])
        if not ticket:
            end = "empty ticket"
            break
        try:
            page = bridge.Pop(url, ticket)
        except RuntimeError as e:
            end = str(e)
            break
        if (page.url, page.src) != (url, "delayed"):
            wrong.append([url, page.url, page.src])
        answered += 1
        with lock:
            count[0] += 1
            if count[0] == ARGS["before_stop"]:
                loaded.set()
    outcomes[n] = {"answered": answered, "wrong": wrong, "end": end}

threads = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(N)]
for t in threads:
    t.start()
loaded.wait(timeout=60)
say("LOADED")
for t in threads:
    t.join(timeout=ARGS["join_s"])
report({"outcomes": outcomes, "hung": [n for n, t in enumerate(threads) if t.is_alive()],
        "tickets": ticket_objects(ARGS["pid"])})
sys.stdin.readline()
'''


def test_server_stopped_under_load_answers_or_fails_each_request_in_a_described_way(tmp_path, servers):
    # More threads than the bound: some wait in the gate when the stop comes.
    server = servers()
    child = Child(STOPPED_SERVER_CHILD,
                  {"pid": server.pid, "threads": 24, "before_stop": 300, "join_s": SLICE_S + 2 * MARGIN_S},
                  write_ini(tmp_path, bound=16))
    try:
        child.expect("LOADED", timeout=60)
        assert server.stop(signal.SIGTERM) == 0
        assert shm_entries("Tarv_Browser_%d_" % server.pid) == [], "the stopped server removed its objects"
        report = child.report(timeout=SLICE_S + 3 * MARGIN_S)
        child.finish()
    finally:
        child.close()
    assert report["hung"] == []
    outcomes = report["outcomes"]
    ends = sorted({o["end"] for o in outcomes})
    print("server SIGTERM: %d round trips answered, %d threads ended by %s"
          % (sum(o["answered"] for o in outcomes), len(outcomes), ends))
    assert set(ends) <= {"Server terminated.", "TIMEOUT", "empty ticket"}, ends
    assert [o["wrong"] for o in outcomes if o["wrong"]] == []
    assert sum(o["answered"] for o in outcomes) >= 300
    assert report["tickets"] == [], "each Pop removed its ticket objects when it ended"
    assert server.objects() == []


# ---------------------------------------------------------------------------
# A client killed with SIGKILL in the middle of a request.

KILLED_CLIENT_CHILD = '''
url = "script://delay/2000/victim"
ticket = bridge.Push(url, pid=ARGS["pid"])
say("TICKET", ticket)
bridge.Pop(url, ticket)
say("NOT KILLED")
'''


def ticket_object_names(ticket):
    return sorted([ticket, "sem.%s_Channel_Mutex" % ticket, "%s_Channel_Condition" % ticket])


def existing(names):
    return [name for name in names if os.path.exists("/dev/shm/" + name)]


def test_client_killed_mid_request_leaves_the_server_serving_and_reap_removes_its_ticket(tmp_path, servers, bridge):
    server = servers()
    child = Child(KILLED_CLIENT_CHILD, {"pid": server.pid}, write_ini(tmp_path, bound=4))
    try:
        ticket = child.expect("TICKET", timeout=60)
        pushed_at = time.monotonic()
        assert ticket.startswith("Tarv_%d_Ticket_" % server.pid)
        time.sleep(0.2)  # inside Pop
        child.process.kill()
        child.process.wait(timeout=30)
    finally:
        child.close()
    names = ticket_object_names(ticket)
    assert existing(names) == names, "a killed client cannot clean up"

    for n in range(3):
        url = "script://echo/after-client-crash/%d" % n
        assert bridge.Pop(url, bridge.Push(url, pid=server.pid)).url == url

    # The worker maps the dead client's ticket until its 2-second answer is
    # written; --reap leaves a mapped ticket alone and takes it afterwards.
    reaped = []
    deadline = pushed_at + 2.0 + 4 * MARGIN_S
    while existing(names) and time.monotonic() < deadline:
        out = subprocess.run([server_binary(), "--reap"], capture_output=True, text=True, timeout=30)
        assert out.returncode == 0, out.stderr
        reaped += [line for line in out.stdout.splitlines() if line in names]
        if existing(names):
            time.sleep(0.25)
    assert sorted(reaped) == names
    assert existing(names) == []
    url = "script://echo/after-reap"
    assert bridge.Pop(url, bridge.Push(url, pid=server.pid)).url == url
    print("client SIGKILL: the server served 4 other requests; --reap removed %s" % ", ".join(sorted(reaped)))


# ---------------------------------------------------------------------------
# Load: 64 threads x 500 round trips through a bound of 16; resident memory.

LOAD_CHILD = '''
N, EACH, MARK = ARGS["threads"], ARGS["each"], ARGS["mark"]
lock = threading.Lock()
state = {"done": 0, "at_mark": None}
wrong, errors = [], []

def work(n):
    for i in range(EACH):
        url = "script://echo/%d/%d" % (n, i)
        cookie = "t%d-%d" % (n, i)
        try:
            page = bridge.Pop(url, bridge.Push(url, pid=ARGS["pid"], options={"cookie": cookie}))
        except RuntimeError as e:
            errors.append([url, str(e)])
            continue
        if page.url != url or ("cookie=" + cookie) not in page.src.splitlines():
            wrong.append(url)
        with lock:
            state["done"] += 1
            if state["done"] == MARK:
                state["at_mark"] = {"client": rss_kib(), "server": rss_kib(ARGS["pid"])}

started = time.monotonic()
threads = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(N)]
for t in threads:
    t.start()
for t in threads:
    t.join(timeout=ARGS["join_s"])
report({"done": state["done"], "seconds": time.monotonic() - started, "wrong": wrong[:5], "wrong_count": len(wrong),
        "errors": errors[:5], "error_count": len(errors), "hung": [n for n, t in enumerate(threads) if t.is_alive()],
        "at_mark": state["at_mark"], "at_end": {"client": rss_kib(), "server": rss_kib(ARGS["pid"])},
        "tickets": ticket_objects(ARGS["pid"])})
'''


def within_memory_bound(start_kib, end_kib):
    """The generous bound on growth: 10 % or 8 MiB, whichever is larger."""
    return end_kib <= max(start_kib * 1.10, start_kib + 8 * 1024)


def test_load_of_64_threads_through_a_bound_of_16_loses_nothing_and_holds_its_memory(tmp_path, servers):
    threads, each = 64, 500
    server = servers(workers=4)
    child = Child(LOAD_CHILD, {"pid": server.pid, "threads": threads, "each": each, "mark": 1000, "join_s": 240},
                  write_ini(tmp_path, bound=16, level="WARN"))
    try:
        report = child.report(timeout=300)
        assert child.finish() == 0
    finally:
        child.close()
    mark, end = report["at_mark"], report["at_end"]
    print("load: %d round trips by %d threads through bound 16 in %.1f s (%.0f/s); lost %d, wrong %d; "
          "VmRSS after 1000 / at the end: client %d / %d KiB, server %d / %d KiB"
          % (report["done"], threads, report["seconds"], report["done"] / report["seconds"], report["error_count"],
             report["wrong_count"], mark["client"], end["client"], mark["server"], end["server"]))
    assert report["hung"] == []
    assert (report["error_count"], report["errors"]) == (0, [])
    assert (report["wrong_count"], report["wrong"]) == (0, [])
    assert report["done"] == threads * each
    assert within_memory_bound(mark["client"], end["client"]), (mark, end)
    assert within_memory_bound(mark["server"], end["server"]), (mark, end)
    assert report["tickets"] == []


# ---------------------------------------------------------------------------
# The interpreter ends while daemon threads still wait in Pop or in the gate.

EXIT_CHILD = '''
in_pop = threading.Barrier(ARGS["in_pop"] + 1)

def pop_forever(n):
    url = "script://silent/exit/%d" % n
    ticket = bridge.Push(url, pid=ARGS["pid"])
    in_pop.wait()
    bridge.Pop(url, ticket)

def wait_in_gate(n):
    bridge.Push("script://echo/exit-gate/%d" % n, pid=ARGS["pid"])

for n in range(ARGS["in_pop"]):
    threading.Thread(target=pop_forever, args=(n,), daemon=True).start()
in_pop.wait(timeout=30)
for n in range(ARGS["in_gate"]):
    threading.Thread(target=wait_in_gate, args=(n,), daemon=True).start()
time.sleep(0.5)
say("WAITING", len(ticket_objects(ARGS["pid"])))
'''


@pytest.mark.parametrize("bound, in_pop, in_gate", [(4, 4, 0), (1, 1, 3)], ids=["threads-in-pop", "threads-in-gate"])
def test_interpreter_exit_with_threads_still_waiting_ends_cleanly(tmp_path, servers, bridge, bound, in_pop, in_gate):
    server = servers()
    ini = write_ini(tmp_path, bound=bound)
    started = time.monotonic()
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(PRELUDE + EXIT_CHILD),
                           json.dumps({"pid": server.pid, "in_pop": in_pop, "in_gate": in_gate})],
                          env=dict(os.environ, TARV_BROWSER_CURL_CONFIG=str(ini)), capture_output=True, text=True,
                          timeout=60)
    took = time.monotonic() - started
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    # Three objects per request were there while the threads waited.
    assert proc.stdout.splitlines() == ["WAITING %d" % (3 * in_pop)]
    while_waiting = int(proc.stdout.split()[1])
    assert took < MARGIN_S + 2, "the exit waited for a slice or the gate"
    assert server.tickets() == [], "the exit removed the ticket objects of the waiting threads"
    print("exit while %d threads wait in Pop and %d in the gate (bound %d): status %d after %.1f s, "
          "%d ticket objects while waiting, %d after" % (in_pop, in_gate, bound, proc.returncode, took, while_waiting,
                                                        len(server.tickets())))
    url = "script://echo/after-exit"
    assert bridge.Pop(url, bridge.Push(url, pid=server.pid)).url == url, "the server serves on"


# ---------------------------------------------------------------------------
# Who may open the objects of a request while its Pop is pending.

class PendingRequest:
    """A request of script://delay/1000 whose thread (Push and Pop are on one
    thread) is waiting in Pop."""

    def __init__(self, bridge, server):
        self.url = "script://delay/1000/modes"
        self.ticket = None
        self.page = None
        self.pushed = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(bridge, server.pid))
        self.thread.start()
        assert self.pushed.wait(timeout=30) and self.ticket, "push failed"

    def _run(self, bridge, pid):
        self.ticket = bridge.Push(self.url, pid=pid)
        self.pushed.set()
        if self.ticket:
            self.page = bridge.Pop(self.url, self.ticket)

    def paths(self):
        return ["/dev/shm/" + name for name in ticket_object_names(self.ticket)]

    def join(self):
        self.thread.join(timeout=30)
        assert self.page is not None and self.page.src == "delayed"


def test_a_pending_requests_objects_are_owner_only(bridge, servers):
    request = PendingRequest(bridge, servers())
    try:
        names = ticket_object_names(request.ticket)
        assert existing(names) == names
        modes = {path: oct(stat.S_IMODE(os.stat(path).st_mode)) for path in request.paths()}
    finally:
        request.join()
    assert modes == {path: "0o600" for path in request.paths()}
    print("modes of a pending request's objects: %s" % ", ".join(sorted(set(modes.values()))))


OPEN_EACH = '''
import sys
for path in sys.argv[1:]:
    try:
        open(path, "rb").close()
        print("opened")
    except Exception as e:
        print(type(e).__name__)
'''


def test_another_user_cannot_open_a_pending_requests_objects(bridge, servers):
    if os.geteuid() != 0:
        pytest.skip("needs root to run a probe as the user nobody (setpriv)")
    request = PendingRequest(bridge, servers())
    try:
        probe = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                "/usr/bin/python3", "-c", OPEN_EACH, *request.paths()],
                               cwd="/", capture_output=True, text=True, timeout=30)
    finally:
        request.join()
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.split() == ["PermissionError"] * 3
    print("user nobody opening a pending request's 3 objects: %s" % ", ".join(probe.stdout.split()))

"""Foreign processor load: the processor time that processes outside the
bench (neither this process nor any of its descendants) used while a
measurement ran, in processors' worth (0 .. number of processors).

Sampled from /proc/<pid>/stat (user + system time, all threads) every
second: a process seen in two samples adds the difference, one that is new
in a sample adds all of its time (it started after the previous sample). A
foreign process that ends between two samples loses its last second at most;
the bench's own processes never count, wherever they end up."""
import os
import threading
import time

TICKS = os.sysconf("SC_CLK_TCK")


def _processes():
    """{(pid, start time): (ppid, ticks)} of every process now."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                text = stat.read()
        except OSError:
            continue
        # after "pid (name) ": state(0) ppid(1) ... utime(11) stime(12) ... starttime(19)
        fields = text[text.rindex(")") + 2:].split()
        table[(int(entry), fields[19])] = (int(fields[1]), int(fields[11]) + int(fields[12]))
    return table


def _tree(table, root):
    children = {}
    for (pid, _), (ppid, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    ours, todo = set(), [root]
    while todo:
        pid = todo.pop()
        ours.add(pid)
        todo.extend(children.get(pid, ()))
    return ours


class Sample:
    def __init__(self):
        self.when = time.monotonic()
        self.table = _processes()
        self.ours = _tree(self.table, os.getpid())


def foreign_ticks(first, last):
    total = 0
    for key, (_, ticks) in last.table.items():
        if key[0] in last.ours:
            continue
        before = first.table.get(key)
        total += ticks - before[1] if before else ticks
    return total


def foreign_cores(first, last):
    seconds = last.when - first.when
    return foreign_ticks(first, last) / TICKS / seconds if seconds > 0 else 0.0


class Meter:
    """Samples in the background while a measurement runs; reports the mean
    foreign load and the worst interval."""

    def __init__(self, interval=1.0):
        self.interval = interval
        self._stop = threading.Event()
        self._thread = None
        self._ticks = 0
        self._seconds = 0.0
        self._worst = 0.0
        self._last = None

    def _add(self, sample):
        seconds = sample.when - self._last.when
        ticks = foreign_ticks(self._last, sample)
        self._ticks += ticks
        self._seconds += seconds
        if seconds >= self.interval / 2:  # a short last interval is all rounding
            self._worst = max(self._worst, ticks / TICKS / seconds)
        self._last = sample

    def __enter__(self):
        self._last = Sample()
        self._stop.clear()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.wait(self.interval):
            self._add(Sample())

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self._add(Sample())
        return False

    def mean(self):
        return self._ticks / TICKS / self._seconds if self._seconds > 0 else 0.0

    def worst(self):
        return self._worst


def wait_until_quiet(threshold, longest, probe=1.0):
    """Waits (up to `longest` seconds) for a probe window whose foreign load
    is at most `threshold`; returns the last window's load."""
    give_up = time.monotonic() + longest
    while True:
        first = Sample()
        time.sleep(probe)
        load = foreign_cores(first, Sample())
        if load <= threshold or time.monotonic() + probe > give_up:
            return load

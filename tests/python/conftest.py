"""Fixtures: the reference server as a child process, and Python children
with their own environment for what is fixed when the module loads."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def server_binary():
    path = os.environ.get("TARV_BROWSER_SERVER", os.path.join(ROOT, "build", "server", "browser-server"))
    if not os.path.exists(path):
        raise RuntimeError("browser-server not built: " + path)
    return path


def shm_entries(fragment):
    return [name for name in os.listdir("/dev/shm") if fragment in name]


def remove_shm(fragment):
    for name in shm_entries(fragment):
        try:
            os.remove(os.path.join("/dev/shm", name))
        except FileNotFoundError:
            pass


class Server:
    """browser-server --engine ENGINE (script unless said otherwise), started
    and reaped by the fixture."""

    def __init__(self, workers=4, extra=(), engine="script"):
        self.process = subprocess.Popen(
            [server_binary(), "--engine", engine, "--workers", str(workers), *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if line != str(self.process.pid):
            self.process.kill()
            self.process.wait()
            raise RuntimeError("browser-server did not start: %r" % line)
        self.pid = self.process.pid

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        code = self.process.wait(timeout=30)
        self.process.stdout.close()
        self.process.stderr.close()
        return code

    def cleanup(self):
        if self.process.poll() is None:
            self.stop(signal.SIGKILL)
        else:
            self.stop()
        remove_shm("Tarv_Browser_%d_" % self.pid)
        remove_shm("Tarv_%d_Ticket_" % self.pid)


@pytest.fixture
def server():
    s = Server()
    yield s
    leftovers = shm_entries("Tarv_%d_Ticket_" % s.pid)
    s.cleanup()
    assert leftovers == [], "tickets left behind: %r" % leftovers


@pytest.fixture(scope="session")
def bridge():
    import FetchBridge
    return FetchBridge


def run_python(code, env=None, cwd=None, timeout=300):
    """Runs `code` in a fresh interpreter (the module then loads anew, with
    this environment and working directory). Returns the finished process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)

"""The processes the bench starts: browser-server, nginx, and each
measuring program. Every one is a child of the bench and is stopped by it."""
import json
import os
import signal
import socket
import subprocess
import time


class BenchError(RuntimeError):
    pass


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def remove_shm(fragment):
    for name in os.listdir("/dev/shm"):
        if fragment in name:
            try:
                os.remove(os.path.join("/dev/shm", name))
            except FileNotFoundError:
                pass


class BrowserServer:
    """browser-server --engine NAME, until stop(); its log goes to a file."""

    def __init__(self, binary, engine, workers, log_path, extra=()):
        self.engine = engine
        self.log = open(log_path, "w")
        self.process = subprocess.Popen([binary, "--engine", engine, "--workers", str(workers), *extra],
                                        stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline().strip()
        if line != str(self.process.pid):
            self.stop()
            raise BenchError("browser-server --engine %s did not start (see %s)" % (engine, log_path))
        self.pid = self.process.pid

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.log.close()
        remove_shm("Tarv_Browser_%d_" % self.process.pid)
        remove_shm("Tarv_%d_Ticket_" % self.process.pid)


class Nginx:
    """nginx in the foreground on 127.0.0.1, with a config made from
    bench/nginx/nginx.conf.in and every path in `prefix`."""

    def __init__(self, template, prefix, root):
        os.makedirs(prefix, exist_ok=True)
        self.port = free_port()
        with open(template) as source:
            config = source.read()
        for key, value in (("@PREFIX@", prefix), ("@PORT@", str(self.port)), ("@ROOT@", root)):
            config = config.replace(key, value)
        path = os.path.join(prefix, "nginx.conf")
        with open(path, "w") as out:
            out.write(config)
        self.process = subprocess.Popen(["nginx", "-p", prefix, "-c", path],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        give_up = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > give_up:
                    self.stop()
                    raise BenchError("nginx did not start (see %s/error.log)" % prefix)
                time.sleep(0.05)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: workers finish, master removes its pid file
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def run_program(command, out_path, env=None, timeout=600, cwd=None):
    """Runs one measuring program (its standard output, the module's log,
    is discarded) and returns the series it wrote to `out_path`."""
    if os.path.exists(out_path):
        os.remove(out_path)
    full_env = dict(os.environ)
    full_env.update(env or {})
    try:
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=full_env,
                              timeout=timeout, text=True, cwd=cwd)
    except subprocess.TimeoutExpired:
        raise BenchError("%s took longer than %d s" % (os.path.basename(command[0]), timeout))
    if done.returncode != 0 or not os.path.exists(out_path):
        raise BenchError("%s failed (%d): %s" % (" ".join(command[:3]), done.returncode, done.stderr.strip()[-600:]))
    with open(out_path) as source:
        return json.load(source)["series"]

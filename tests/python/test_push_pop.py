"""Push and Pop from Python against the script engine."""
import threading
import time

import pytest

from conftest import Server, run_python

DEFAULTS = {"snapshot": "1", "coordinate": "0", "keep": "2000", "lumo": "0", "delay": "100",
            "post": "", "script": "", "cookie": "", "disable": ""}


def echo(bridge, server, url, **kwargs):
    ticket = bridge.Push(url, pid=server.pid, **kwargs)
    assert ticket.startswith("Tarv_%d_Ticket_" % server.pid)
    result = bridge.Pop(url, ticket)
    lines = result.src.splitlines()
    return dict(line.split("=", 1) for line in lines)


@pytest.mark.parametrize("kwargs", [{}, {"options": {}}], ids=["no-options", "empty-dict"])
def test_all_nine_defaults_arrive(bridge, server, kwargs):
    assert echo(bridge, server, "script://echo/defaults", **kwargs) == DEFAULTS


@pytest.mark.parametrize("options, changed", [
    ({"lumo": True}, {"lumo": "1"}),
    ({"Lumo": True, "SNAPSHOT": False, "extra": object()}, {}),
    ({"snapshot": 0}, {"snapshot": "0"}),
    ({"snapshot": 7}, {"snapshot": "1"}),
    ({"keep": -1, "delay": 2147483647}, {"keep": "-1", "delay": "2147483647"}),
    ({"post": "a=1", "cookie": b"k=v", "script": "ü"}, {"post": "a=1", "cookie": "k=v", "script": "ü"}),
], ids=["lumo-only", "case-and-extra-keys-ignored", "int-zero-false", "int-nonzero-true", "int-range-ends",
        "texts-str-and-bytes"])
def test_options_change_only_what_they_name(bridge, server, options, changed):
    expected = dict(DEFAULTS, **changed)
    assert echo(bridge, server, "script://echo/options", options=options) == expected


def test_ticket_is_a_str(bridge, server):
    ticket = bridge.Push("script://echo/type", pid=server.pid)
    assert type(ticket) is str
    bridge.Pop("script://echo/type", ticket)


def test_dead_result_raises(bridge, server):
    ticket = bridge.Push("script://dead", pid=server.pid)
    with pytest.raises(RuntimeError) as error:
        bridge.Pop("script://dead", ticket)
    assert str(error.value) == "Server sent dead result."


def test_snapshot_with_nul_bytes_arrives_whole_as_bytes(bridge, server):
    ticket = bridge.Push("script://snapshot/1000", pid=server.pid)
    result = bridge.Pop("script://snapshot/1000", ticket)
    assert type(result.snapshot) is bytes
    assert result.snapshot == bytes(i % 251 for i in range(1000))
    assert type(result.url) is str and type(result.src) is str and type(result.lastModified) is str


def test_undecodable_source_arrives_losslessly(bridge, server):
    raw = b"\xff\xfe<html>\xc3\x28"
    ticket = bridge.Push("script://echo/bytes", pid=server.pid, options={"post": raw})
    src = bridge.Pop("script://echo/bytes", ticket).src
    assert ("post=" + raw.decode("utf-8", "surrogateescape")) in src.splitlines()
    assert src.encode("utf-8", "surrogateescape").count(raw) == 1


def test_url_and_src_are_cut_at_nul(bridge, server):
    ticket = bridge.Push("script://nul", pid=server.pid)
    result = bridge.Pop("script://nul", ticket)
    assert (result.url, result.src) == ("script://nul", "before")


def test_push_with_only_a_url_fails_with_the_empty_ticket(bridge):
    assert bridge.Push("script://echo/pid-zero") == ""


def test_push_without_wait_to_a_down_server_fails(bridge):
    gone = Server()
    pid = gone.pid
    assert gone.stop() == 0
    gone.cleanup()
    assert bridge.Push("script://echo/down", wait=False, pid=pid) == ""


def test_pop_after_a_failed_push_raises(bridge):
    assert bridge.Push("script://echo/failed") == ""
    with pytest.raises(RuntimeError) as error:
        bridge.Pop("script://echo/failed", "")
    assert str(error.value) == "This thread have not added into blocker yet."


def test_pop_on_another_thread_raises(bridge, server):
    ticket = bridge.Push("script://echo/thread", pid=server.pid)
    errors = []

    def other():
        try:
            bridge.Pop("script://echo/thread", ticket)
        except RuntimeError as e:
            errors.append(str(e))

    t = threading.Thread(target=other)
    t.start()
    t.join()
    assert errors == ["This thread have not added into blocker yet."]
    assert bridge.Pop("script://echo/thread", ticket).url == "script://echo/thread"


@pytest.mark.parametrize("options", [{"keep": "2000"}, {"post": 1}, {"delay": 1.5}, {"lumo": "yes"},
                                     {"snapshot": None}],
                         ids=["str-for-int", "int-for-text", "float-for-int", "str-for-bool", "none-for-bool"])
def test_wrong_option_type_is_a_type_error_before_anything_is_submitted(bridge, server, options):
    with pytest.raises(TypeError):
        bridge.Push("script://echo/wrong", pid=server.pid, options=options)


def test_out_of_range_int_is_a_runtime_error(bridge, server):
    with pytest.raises(RuntimeError) as error:
        bridge.Push("script://echo/range", pid=server.pid, options={"keep": 2 ** 31})
    assert str(error.value) == "bad numeric conversion: positive overflow"
    with pytest.raises(RuntimeError) as error:
        bridge.Push("script://echo/range", pid=server.pid, options={"delay": -2 ** 70})
    assert str(error.value) == "bad numeric conversion: negative overflow"


@pytest.mark.parametrize("call", [
    lambda b: b.Push(1),
    lambda b: b.Push("u", options=[]),
    lambda b: b.Pop("u"),
    lambda b: b.Push("u", colour=1),
], ids=["url-not-text", "options-not-dict", "missing-ticket", "unknown-keyword"])
def test_argument_errors_are_type_errors(bridge, call):
    with pytest.raises(TypeError):
        call(bridge)


def test_lock_is_released_while_a_thread_waits_in_pop(bridge, server):
    finished = []

    def slow():
        ticket = bridge.Push("script://delay/1500/slow", pid=server.pid)
        finished.append(bridge.Pop("script://delay/1500/slow", ticket).src)

    t = threading.Thread(target=slow)
    t.start()
    time.sleep(0.2)
    spins, fast = 0, []
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        spins += 1
    for i in range(5):
        url = "script://echo/fast-%d" % i
        fast.append(bridge.Pop(url, bridge.Push(url, pid=server.pid)).url)
    assert t.is_alive(), "the slow pop ended before the other thread's work"
    t.join()
    assert spins > 1000
    assert fast == ["script://echo/fast-%d" % i for i in range(5)]
    assert finished == ["delayed"]


def test_wrong_type_submits_nothing_and_leaves_the_gate_alone(tmp_path):
    server = Server()
    try:
        log = tmp_path / "debug.log"
        proc = run_python("""
            import FetchBridge as b
            b.ConfigLogger(logLevel="DEBUG", logFile=%r)
            for options in ({"keep": "1"}, {"post": 1}, {"delay": 1.0}, {"keep": 2**40}):
                try:
                    b.Push("script://echo/never", pid=%d, options=options)
                except (TypeError, RuntimeError):
                    pass
                else:
                    raise SystemExit("no error")
            print("ok")
        """ % (str(log), server.pid))
        assert proc.returncode == 0, proc.stderr
        text = log.read_text()
        assert "Blocker::Add" not in text
        assert "Client::Init" not in text
        assert "script://echo/never" not in text
    finally:
        server.cleanup()


def test_many_threads_with_a_smaller_bound_each_get_their_own_pages(tmp_path):
    ini = tmp_path / "bound.ini"
    ini.write_text("[Tarv.browser.curl.Client]\nmaxThread=8\n")
    server = Server(workers=4)
    try:
        proc = run_python("""
            import os, threading
            import FetchBridge as b
            errors = []
            def work(n):
                for i in range(50):
                    url = "script://echo/t%%d-%%d" %% (n, i)
                    try:
                        t = b.Push(url, pid=%d)
                        r = b.Pop(url, t)
                        if r.url != url:
                            errors.append((url, r.url))
                    except Exception as e:
                        errors.append((url, repr(e)))
            threads = [threading.Thread(target=work, args=(n,)) for n in range(32)]
            for t in threads: t.start()
            for t in threads: t.join()
            print(len(errors), errors[:3])
        """ % server.pid, env={"TARV_BROWSER_CURL_CONFIG": str(ini)})
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines()[-1] == "0 []", proc.stdout[-2000:]
        assert [n for n in __import__("os").listdir("/dev/shm") if "Tarv_%d_Ticket_" % server.pid in n] == []
    finally:
        server.cleanup()


def test_both_modules_load_into_one_process_with_their_own_gates():
    server = Server()
    try:
        proc = run_python("""
            import warnings
            warnings.simplefilter("error")
            import FetchBridge, RenderBridge
            url = "script://echo/both"
            ticket = FetchBridge.Push(url, pid=%d)
            try:
                RenderBridge.Pop(url, ticket)
            except RuntimeError as e:
                print("render:", e)
            result = FetchBridge.Pop(url, ticket)
            print("fetch:", result.url, isinstance(result, RenderBridge.Result))
            ticket = RenderBridge.Push(url, pid=%d)
            print("render:", RenderBridge.Pop(url, ticket).url)
        """ % (server.pid, server.pid))
        assert proc.returncode == 0, proc.stderr
        plain = [l for l in proc.stdout.splitlines() if " - Thread: " not in l]
        assert plain == ["render: This thread have not added into blocker yet.",
                         "fetch: script://echo/both True", "render: script://echo/both"]
        assert proc.stdout.count("Configuration file: ") == 2, "one line per module, not doubled"
    finally:
        server.cleanup()

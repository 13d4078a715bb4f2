"""ConfigLogger from Python, each case in a fresh interpreter."""
import re

from conftest import run_python

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - (DEBUG|INFO|ERROR|FATAL) - Thread: \S+ - .*$")


def test_default_call_keeps_info_on_standard_output():
    proc = run_python("""
        import FetchBridge as b
        print(b.ConfigLogger())
        print(b.ConfigLogger())
        b.Push("script://echo/info", wait=False, pid=999999999)
    """)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert [l for l in lines if not LINE.match(l)] == ["True", "True"]
    records = [l for l in lines if LINE.match(l)]
    assert any(" - ERROR - " in l and l.endswith("Push: script://echo/info Exception: Server stop serve request.")
               for l in records), proc.stdout
    assert not any(" - DEBUG - " in l for l in records)


def test_debug_level_shows_the_debug_records():
    proc = run_python("""
        import FetchBridge as b
        b.ConfigLogger(logLevel="DEBUG")
        b.Push("script://echo/debug", wait=False, pid=999999999)
    """)
    assert proc.returncode == 0, proc.stderr
    assert re.search(r" - DEBUG - Thread: \S+ - Client::Init => script://echo/debug \(Tarv_999999999_Ticket_\d+\) "
                     r"ServerPid => 999999999$", proc.stdout, re.M), proc.stdout


def test_log_file_receives_the_layout(tmp_path):
    log = tmp_path / "bridge.log"
    log.write_text("existing line\n")
    proc = run_python("""
        import FetchBridge as b
        print(b.ConfigLogger(logFile=%r))
        b.Push("script://echo/file", wait=False, pid=999999999)
    """ % str(log))
    assert proc.returncode == 0, proc.stderr
    lines = log.read_text().splitlines()
    assert lines[0] == "existing line"
    assert lines[1:] and all(LINE.match(l) for l in lines[1:]), lines
    assert lines[-1].endswith("Push: script://echo/file Exception: Server stop serve request.")
    assert "Push: script://echo/file" not in proc.stdout

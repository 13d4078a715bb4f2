"""The run's table: the figures, the targets they are held against, and
where a round trip's time goes; as markdown (for bench/results/ and
docs/benchmarks.md) and as plain text (for the terminal)."""
import re

UNITS = {"us": "µs", "rt/s": "rt/s", "pages/s": "pages/s"}
BEGIN = "<!-- bench:table:begin -->"
END = "<!-- bench:table:end -->"


def _number(value):
    if value is None:
        return "–"
    if abs(value) >= 100:
        return "{:,.0f}".format(value)
    if abs(value) >= 10:
        return "%.1f" % value
    return "%.2f" % value


def _rows(run):
    for name, group in run["groups"].items():
        result = group["result"]
        for row in result.get("rows", []):
            yield name, group, row


def _by_key(run):
    return {row["key"]: row for _, _, row in _rows(run) if "p50" in row}


def targets(run):
    """The goals the figures are held against: (name, measured text, goal,
    met: True/False/None when a side is missing)."""
    rows = _by_key(run)
    found = []

    def value(key, field="p50"):
        row = rows.get(key)
        return row.get(field) if row else None

    def ratio(top, bottom, field="p50"):
        a, b = value(top, field), value(bottom, field)
        return a / b if a is not None and b else None

    def measured(top, r):
        if top not in rows:
            return "not built"
        if not rows[top]["count"]:
            return "every page failed"
        return None if r is None else "%.2f×" % r

    def at_least_one(top, r):
        if top in rows and not rows[top]["count"]:
            return False
        return None if r is None else r >= 1

    r = ratio("python_1", "protocol")
    found.append(("fig. 1 / fig. 3 protocol floor (p50, 1 thread)", None if r is None else "%.2f×" % r,
                  "≤ 1.25×", None if r is None else r <= 1.25))
    a, b = value("python_1"), value("native_1")
    binding = a - b if a is not None and b is not None else None
    found.append(("binding cost: fig. 1 − fig. 2 (p50)", None if binding is None else "%.1f µs" % binding,
                  "< 10 µs", None if binding is None else binding < 10))
    r = ratio("snapshot_python", "freshmap")
    found.append(("fig. 5: 4 MiB snapshot (Python) / fresh 4 MiB mapping + copy", None if r is None else
                  "%.2f×" % r, "< 3×", None if r is None else r < 3))
    r = ratio("fetch_bridge", "fetch_pycurl", "total_rate")
    found.append(("fig. 6: FetchBridge / pycurl pages per second (whole run)",
                  measured("fetch_bridge", r), "≥ 1×", at_least_one("fetch_bridge", r)))
    for kind, label in (("dom", "DOM"), ("snapshot", "snapshot")):
        r = ratio("render_bridge_" + kind, "playwright_" + kind, "total_rate")
        found.append(("fig. 7 (%s): RenderBridge / playwright-core pages per second (whole run)" % label,
                      measured("render_bridge_" + kind, r), "≥ 1×", at_least_one("render_bridge_" + kind, r)))
    return found


def context_ratios(run):
    """Further comparisons, for reading the figures (no goals)."""
    rows = _by_key(run)
    pairs = [("fig. 2 / fig. 3 protocol floor", "native_1", "protocol"),
             ("fig. 1 / fig. 3 wake-up ping-pong", "python_1", "pingpong"),
             ("fig. 1 / fig. 4 http.client to nginx", "python_1", "http_client"),
             ("fig. 2 / fig. 4 libcurl to nginx", "native_1", "libcurl"),
             ("fig. 2 at log level INFO / WARN", "native_1", "native_1_warn"),
             ("fig. 5: 4 MiB snapshot (native) / fresh mapping + copy", "snapshot_native", "freshmap"),
             ("fig. 5: 4 MiB snapshot (native) / protocol floor with 4 MiB", "snapshot_native", "snapshot_protocol"),
             ("fig. 5: 4 MiB snapshot (native) / 4 MiB memcpy", "snapshot_native", "memcpy"),
             ("fig. 2 rate: 16 threads / 4 threads", "native_16", "native_4"),
             ("fig. 6: FetchBridge pages/s / fig. 1 round trips/s at 16 threads (script engine)", "fetch_bridge",
              "python_16")]
    out = []
    for label, top, bottom in pairs:
        if top in rows and bottom in rows and rows[top]["p50"] and rows[bottom]["p50"]:
            out.append((label, rows[top]["p50"] / rows[bottom]["p50"]))
    return out


def _load_text(group):
    text = "%.2f" % group["foreign"]
    if group["attempts"] > 1:
        text += " (%d runs)" % group["attempts"]
    if group["disturbed"]:
        text += " disturbed"
    return text


def _header(run):
    m = run["machine"]
    return ("Run of %s on %s (%s), %d cores, %.1f GiB memory, Linux %s; commit %s; %.0f s%s." % (
        run["date"], m["cpu"] or "an unknown processor", m["os"], m["cores"], m["memory_gib"], m["kernel"],
        m["commit"] or "?", run.get("seconds", 0), ", quick run" if run["settings"]["quick"] else ""))


def markdown(run):
    lines = [_header(run), "",
             "Foreign load: processors' worth of work by other processes while the group ran "
             "(threshold %.2f)." % run["settings"]["threshold_cores"], "",
             "| fig. | measurement | p50 | p90 | p99 | count | unit | foreign load |",
             "|---|---|--:|--:|--:|--:|---|---|"]
    for name, group, row in _rows(run):
        if "error" in group["result"]:
            continue
        if row.get("not_built"):
            lines.append("| %s | %s | not built | | | | %s | |" % (row["fig"], row["label"], row["unit"]))
            continue
        count = row.get("round_trips", row.get("pages", row["count"]))
        if not row["count"]:
            lines.append("| %s | %s (every one of %d failed) | failed | | | 0 | %s | %s |" % (
                row["fig"], row["label"], row.get("errors", 0), UNITS[row["unit"]], _load_text(group)))
            continue
        label = row["label"]
        if row["unit"] == "rt/s":
            label += " (rate in 20 windows; latency p50 %s µs)" % _number(row["latency_us"]["p50"])
        if row["unit"] == "pages/s":
            label += " (rate per group of completions; whole run %s pages/s over %d passes; %s page errors%s)" % (
                _number(row["total_rate"]), row["passes"], row["errors"],
                "; %d taken before their load event" % row["cut_short"] if "cut_short" in row else "")
        elif row.get("errors"):
            label += " (%d errors)" % row["errors"]
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            row["fig"], label, _number(row["p50"]), _number(row["p90"]), _number(row["p99"]), count,
            UNITS[row["unit"]], _load_text(group)))
    for name, group in run["groups"].items():
        if "error" in group["result"]:
            lines.append("| | group %s failed: %s | | | | | | |" % (name, group["result"]["error"]))

    lines += ["", "Targets:", "", "| target | measured | goal | met |", "|---|--:|---|---|"]
    for label, measured, goal, met in targets(run):
        lines.append("| %s | %s | %s | %s |" % (label, measured or "–", goal,
                                                {True: "yes", False: "**no**", None: "–"}[met]))
    ratios = context_ratios(run)
    if ratios:
        lines += ["", "Other ratios (p50):", "", "| comparison | ratio |", "|---|--:|"]
        lines += ["| %s | %.2f× |" % (label, value) for label, value in ratios]

    group = run["groups"].get("transport")
    calls = group["result"].get("syscalls") if group else None
    if calls:
        lines += ["", "System calls per round trip on the client's side (strace -c, 2 KiB src; the server and "
                  "the floor's responder not counted):", "",
                  "| system call | fig. 2 (system) | fig. 3 (protocol floor) |", "|---|--:|--:|"]
        lines += ["| %s | %.1f | %.1f |" % (name, system, floor) for name, system, floor in calls]
        lines.append("| all | %.1f | %.1f |" % (sum(c[1] for c in calls), sum(c[2] for c in calls)))

    for name, title in (("transport", "2 KiB src (fig. 1)"), ("snapshot", "4 MiB snapshot (fig. 5)")):
        group = run["groups"].get(name)
        steps = group["result"].get("phases") if group else None
        if not steps:
            continue
        parts = [s for s in steps if s["step"] != "total"]
        total = sum(s["p50"] for s in parts) or 1
        lines += ["", "Fig. 8: where one round trip goes, %s, step by step (bench_phases, foreign load %s):" % (
            title, _load_text(group)), "",
            "| step | p50 µs | p90 µs | p99 µs | share of the p50 sum |", "|---|--:|--:|--:|--:|"]
        for s in steps:
            share = "" if s["step"] == "total" else "%.0f %%" % (100.0 * s["p50"] / total)
            lines.append("| %s | %s | %s | %s | %s |" % (s["step"], _number(s["p50"]), _number(s["p90"]),
                                                         _number(s["p99"]), share))
    return "\n".join(lines) + "\n"


def text(run):
    """The markdown table, lightly stripped for a terminal."""
    out = []
    for line in markdown(run).splitlines():
        if re.match(r"^\|[-:|]+\|$", line):
            continue
        out.append(line.replace("**", ""))
    return "\n".join(out)


def update_docs(path, table, source):
    with open(path) as doc:
        text_ = doc.read()
    start, end = text_.find(BEGIN), text_.find(END)
    if start < 0 or end < start:
        raise RuntimeError("%s has no %s ... %s section" % (path, BEGIN, END))
    block = "%s\n<!-- pasted by bench/run.py --update-docs from %s -->\n\n%s\n%s" % (BEGIN, source, table, END)
    with open(path, "w") as doc:
        doc.write(text_[:start] + block + text_[end + len(END):])

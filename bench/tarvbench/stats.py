"""Distributions of samples: nearest-rank percentiles and rates."""
import math


def percentile(sorted_values, q):
    if not sorted_values:
        return None
    rank = max(1, math.ceil(q / 100.0 * len(sorted_values)))
    return sorted_values[rank - 1]


def distribution(values):
    """p50, p90, p99 and count of a list of numbers."""
    ordered = sorted(values)
    return {"p50": percentile(ordered, 50), "p90": percentile(ordered, 90), "p99": percentile(ordered, 99),
            "count": len(ordered)}


def window_rates(ends_ns, windows=20, share=0.95):
    """Completions per second in `windows` equal windows over the first
    `share` of the run (by completion time): the tail, where threads finish
    one by one, is left out."""
    if len(ends_ns) < windows * 2:
        return []
    ordered = sorted(ends_ns)
    span = ordered[int(len(ordered) * share) - 1]
    if span <= 0:
        return []
    width = span / windows
    counts = [0] * windows
    for end in ordered:
        if end > span:
            break
        counts[min(windows - 1, int(end / width))] += 1
    return [c / (width / 1e9) for c in counts]


def completion_rates(ends_ns, group, share=0.95):
    """Completions per second in consecutive groups of `group` completions
    (the group's size over the time from its first to its last completion),
    over the first `share` of the completions."""
    ordered = sorted(ends_ns)[:int(len(ends_ns) * share)]
    rates = []
    for start in range(0, len(ordered) - group, group):
        seconds = (ordered[start + group] - ordered[start]) / 1e9
        if seconds > 0:
            rates.append(group / seconds)
    return rates


def merge(series_list):
    """One series out of several runs of the same measurement (rounds)."""
    merged = {"durations_ns": [], "ends_ns": [], "errors": 0, "wall_ns": 0, "pass_wall_ns": [], "pass_pages": [],
              "pass_ends_ns": []}
    for s in series_list:
        merged["durations_ns"] += s.get("durations_ns", [])
        merged["errors"] += s.get("errors", 0)
        merged["wall_ns"] += s.get("wall_ns", 0)
        merged["pass_wall_ns"] += s.get("pass_wall_ns", [])
        merged["pass_pages"] += s.get("pass_pages", [])
        merged["pass_ends_ns"] += s.get("pass_ends_ns", [])
        if "cut_short" in s:
            merged["cut_short"] = merged.get("cut_short", 0) + s["cut_short"]
        merged["threads"] = s.get("threads", 1)
        merged["name"] = s.get("name")
    # Completion times of separate rounds are not on one time line.
    merged["ends_ns"] = series_list[0].get("ends_ns", []) if len(series_list) == 1 else []
    return merged

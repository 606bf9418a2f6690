"""Summary of a recording: per function and per event text."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional

from ._recording import Call, Event, Gap, Recording

# Functions whose int result is an id, not a status: their results are not failures.
RESULT_IS_ID = frozenset({"qxi_user_timer", "qxi_smart_reorder"})


def percentile(sorted_values: List[int], fraction: float) -> int:
    """Nearest-rank percentile of an ascending, non-empty list."""
    rank = max(1, math.ceil(fraction * len(sorted_values)))
    return sorted_values[rank - 1]


def summarise(recording: Recording, success: int = 0) -> Dict[str, Any]:
    """Per function: calls, statuses other than `success` with their counts, latency
    percentiles (ns); per event text: count and rate over the recording's span."""
    durations: Dict[str, List[int]] = {}
    failures: Dict[str, Dict[int, int]] = {}
    events: Dict[Optional[bytes], int] = {}
    gaps = {"dropped_calls": 0, "dropped_events": 0}
    start = recording.header.started_ns
    end = start
    for entry in recording:
        if isinstance(entry, Call):
            durations.setdefault(entry.fn, []).append(entry.duration_ns)
            if recording.header.results.get(entry.fn) == "int32" and entry.fn not in RESULT_IS_ID:
                if entry.result != success:
                    counts = failures.setdefault(entry.fn, {})
                    counts[entry.result] = counts.get(entry.result, 0) + 1
            end = max(end, entry.start_ns + entry.duration_ns)
        elif isinstance(entry, Event):
            events[entry.text] = events.get(entry.text, 0) + 1
            end = max(end, entry.time_ns)
        elif isinstance(entry, Gap):
            gaps["dropped_calls"] += entry.dropped_calls
            gaps["dropped_events"] += entry.dropped_events
    span_s = (end - start) / 1e9
    functions = {}
    for fn in sorted(durations):
        values = sorted(durations[fn])
        functions[fn] = {
            "calls": len(values),
            "failures": {str(status): n for status, n in sorted(failures.get(fn, {}).items())},
            "p50_ns": percentile(values, 0.50),
            "p99_ns": percentile(values, 0.99),
            "max_ns": values[-1],
        }
    event_summary = {}
    for text in sorted(events, key=lambda t: (t is None, t or b"")):
        name = "(null)" if text is None else text.decode("utf-8", "backslashreplace")
        event_summary[name] = {"count": events[text], "per_second": events[text] / span_s if span_s > 0 else None}
    trailer = recording.trailer
    return {
        "file": recording.path,
        "format": recording.header.version,
        "target": recording.header.info.get("target"),
        "span_s": span_s,
        "complete": trailer is not None,
        "truncated": recording.truncated,
        "dropped": gaps,
        "functions": functions,
        "events": event_summary,
    }


def _us(ns: int) -> str:
    return "%.1f" % (ns / 1000.0)


def render(summary: Dict[str, Any]) -> str:
    lines = [
        "recording %s (format %d), target %s" % (summary["file"], summary["format"], summary["target"]),
        "span %.3f s, %s%s" % (
            summary["span_s"],
            "complete" if summary["complete"] else "not finished (no trailer)",
            ", cut short after the last complete entry" if summary["truncated"] else "",
        ),
    ]
    dropped = summary["dropped"]
    if dropped["dropped_calls"] or dropped["dropped_events"]:
        lines.append("dropped: %d calls, %d events (buffer full)" % (dropped["dropped_calls"], dropped["dropped_events"]))
    lines.append("")
    width = max([len(fn) for fn in summary["functions"]] + [8])
    lines.append("%-*s %8s %10s %10s %10s  %s" % (width, "function", "calls", "p50 us", "p99 us", "max us", "failures"))
    for fn, row in summary["functions"].items():
        failures = ", ".join("%s x%d" % (status, n) for status, n in row["failures"].items()) or "-"
        lines.append("%-*s %8d %10s %10s %10s  %s" % (
            width, fn, row["calls"], _us(row["p50_ns"]), _us(row["p99_ns"]), _us(row["max_ns"]), failures))
    lines.append("")
    width = max([len(text) for text in summary["events"]] + [5])
    lines.append("%-*s %8s %12s" % (width, "event", "count", "per second"))
    for text, row in summary["events"].items():
        rate = "-" if row["per_second"] is None else "%.1f" % row["per_second"]
        lines.append("%-*s %8d %12s" % (width, text, row["count"], rate))
    return "\n".join(lines)

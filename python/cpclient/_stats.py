"""A provider's own statistics: counts and answer latencies per group and for tasks, and the filter of a snapshot."""

from __future__ import annotations

import collections
import dataclasses
import math
import threading
import time
from typing import Deque, Iterable, List, Optional, Sequence, Tuple

# The answers whose latencies the percentiles are taken over: the last WINDOW.
WINDOW = 1024

Cells = List[Optional[bytes]]


@dataclasses.dataclass(frozen=True)
class Stats:
    """One group's (or the tasks') statistics at one moment. answers counts every answer sent,
    errors among them too; in_flight is requests taken and not yet answered; hung the handlers
    that still run past their deadline (their request was answered at it). Latencies go from the
    request taken to its answer sent, in ms over the last WINDOW answers (None before the first).
    last_error_time is a time.time(). Snapshot groups alone have snapshot_age_s (None before a
    first complete snapshot) and collector_failures."""

    requests: int = 0
    answers: int = 0
    errors: int = 0
    deadline_misses: int = 0
    in_flight: int = 0
    hung: int = 0
    p50_ms: Optional[float] = None
    p99_ms: Optional[float] = None
    max_ms: Optional[float] = None
    last_error: Optional[str] = None
    last_error_time: Optional[float] = None
    snapshot_age_s: Optional[float] = None
    collector_failures: Optional[int] = None


def percentile(ordered: Sequence[float], fraction: float) -> Optional[float]:
    """The nearest-rank percentile of ordered (sorted), fraction in (0, 1]; None when it is empty."""
    if not ordered:
        return None
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


class Counter:
    """The counts of one group or of the tasks. Thread-safe."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._requests = self._answers = self._errors = self._misses = self._hung = 0
        self._seconds: Deque[float] = collections.deque(maxlen=WINDOW)
        self._last_error: Optional[Tuple[str, float]] = None

    def received(self) -> None:
        with self._lock:
            self._requests += 1

    def answered(self, seconds: float, error: Optional[str] = None, missed: bool = False) -> None:
        """One answer sent seconds after its request was taken; error says why it is an error answer."""
        with self._lock:
            self._answers += 1
            self._seconds.append(seconds)
            if error is not None:
                self._errors += 1
                self._last_error = error, time.time()
            if missed:
                self._misses += 1

    def hang(self, change: int) -> None:
        with self._lock:
            self._hung += change

    def latencies(self) -> List[float]:
        with self._lock:
            return list(self._seconds)

    def read(self, snapshot_age_s: Optional[float] = None, collector_failures: Optional[int] = None) -> Stats:
        with self._lock:
            ordered = sorted(self._seconds)
            error, at = self._last_error or (None, None)
            ms = [None if s is None else round(s * 1000, 3) for s in
                  (percentile(ordered, 0.5), percentile(ordered, 0.99), percentile(ordered, 1.0))]
            return Stats(self._requests, self._answers, self._errors, self._misses, self._requests - self._answers,
                         self._hung, ms[0], ms[1], ms[2], error, at, snapshot_age_s, collector_failures)


def summary(groups: int, stats: Iterable[Stats], seconds: Iterable[float]) -> str:
    """The one-line summary of the service manager's status, e.g.
    "serving 3 groups; 1200 requests, 2 past deadline, p99 4.1 ms"."""
    all_stats = list(stats)
    p99 = percentile(sorted(seconds), 0.99)
    text = (f"serving {groups} group{'' if groups == 1 else 's'}; {sum(s.requests for s in all_stats)} requests, "
            f"{sum(s.deadline_misses for s in all_stats)} past deadline")
    return text + ("" if p99 is None else f", p99 {p99 * 1000:.1f} ms")


def snapshot_rows(rows: Sequence[Cells], columns: Sequence[str],
                  filters: Iterable[Tuple[Optional[str], Optional[str], Optional[str]]]) -> List[Cells]:
    """The rows of a snapshot that every equality filter (name, value, op: op "EQ" or None) on one
    of columns admits; filters on other names or with other ops are not applied, so a request
    filtering only on undeclared columns gets every row."""
    tests = [(columns.index(name), (value or "").encode("utf-8", "surrogateescape"))
             for name, value, op in filters if name in columns and op in (None, "EQ")]
    return [row for row in rows if all((row[i] or b"") == value for i, value in tests)]

"""The provider layer: handlers per group and for tasks, the run loop, its dispatcher, timers and events."""

from __future__ import annotations

import collections
import enum
import functools
import heapq
import logging
import math
import numbers
import operator
import os
import pwd
import random
import signal
import threading
import time
from ctypes import POINTER, byref, c_int, sizeof
from types import FrameType
from typing import (Any, Callable, Deque, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple,
                    TypeVar, Union)

from . import _native as native
from ._service import Notifier
from ._stats import Counter, Stats, snapshot_rows, summary

log = logging.getLogger("cpclient")

# The C library has one connection per process: one run at a time.
_running = threading.Lock()

Value = Union[str, bytes, int, float, bool, None]
Row = Iterable[Value]
Job = Callable[[], None]
F = TypeVar("F", bound=Callable[..., Any])


class _TextEnum(str, enum.Enum):
    """An enum whose members are their strings: equal to them, hashed and printed as them."""

    __str__ = str.__str__
    __format__ = str.__format__  # type: ignore[assignment]
    __hash__ = str.__hash__


class Outcome(_TextEnum):
    """Why run() returned; each member equals its string."""

    SHUTDOWN = "shutdown"  # the agent shut down
    STOPPED = "stopped"  # stop(), SIGINT or SIGTERM
    GAVE_UP = "gave up"  # no connection within the limits, or a failure run cannot go on from: see Provider.error


class RequestKind(_TextEnum):
    """A request's kind; each member equals its string."""

    DATA = "data"
    TASK = "task"
    START = "start"
    STOP = "stop"
    NONE = "none"


class CpError(Exception):
    """A failed library call: code is the CP_ result (a Result when the library names it, else an int),
    text cpdll_ResultText's."""

    def __init__(self, code: int, text: Optional[str] = None) -> None:
        if text is None:
            text = native.load().cpdll_ResultText(code).decode()
        super().__init__(f"{text} ({int(code)})")
        self.code = native.result(code)
        self.text = text


class RequestError(Exception):
    """Raised by a handler to answer its request with rc: a data request's error code, a task's rc.
    An rc that is no int, or that C's int cannot hold, answers handler_error_rc instead (logged)."""

    def __init__(self, rc: int, message: str = "") -> None:
        super().__init__(message or f"answered with rc {rc}")
        self.rc = rc


class Filter(NamedTuple):
    """One filter of a data request; op and log_op are None when the agent sent none."""

    name: Optional[str]
    value: Optional[str]
    op: Optional[str]
    log_op: Optional[str]


def _text(raw: Optional[bytes]) -> Optional[str]:
    return None if raw is None else raw.decode("utf-8", "surrogateescape")


class Request:
    """A request as plain Python values, copied out of the library's record (which is freed at once).

    kind is a RequestKind (equal to "data", "task", "start", "stop"). group is the group's name
    (None for tasks), group_id its number; id is what data and task requests are answered under.
    """

    KINDS = {native.DATA_REQUEST: RequestKind.DATA, native.TASK_REQUEST: RequestKind.TASK,
             native.START_REQUEST: RequestKind.START, native.STOP_REQUEST: RequestKind.STOP}

    __slots__ = ("kind", "group", "group_id", "id", "request_started_id", "command", "user",
                 "subnode", "shutting_down", "filters")

    def __init__(self, record: Any, group_name: Optional[str]) -> None:
        self.kind: RequestKind = self.KINDS.get(record.requestType, RequestKind.NONE)
        self.group_id: int = record.groupId
        self.group = group_name
        self.id = _text(record.id)
        self.request_started_id = _text(record.requestStartedID)
        self.command = _text(record.command)
        self.user = _text(record.user)
        self.subnode = _text(record.subnode)
        self.shutting_down = bool(record.shuttingDown)
        self.filters: List[Filter] = []
        node = record.requestInfo
        while node:
            info = node.contents
            self.filters.append(Filter(_text(info.name), _text(info.value), _text(info.op), _text(info.logOp)))
            node = info.next

    def wants(self, column: str, key: str) -> bool:
        """True unless an equality filter (op "EQ" or none) on column names another key than key."""
        return all(f.value == key for f in self.filters if f.name == column and f.op in (None, "EQ"))

    def __repr__(self) -> str:
        return f"<Request {self.kind} group={self.group!r} id={self.id!r} command={self.command!r}>"


def value_bytes(value: Value) -> Optional[bytes]:
    """One value as the UTF-8 bytes the library takes, or None for a null value.

    str is encoded; bytes go as they are; integers and other real numbers (as int and float) as
    Python writes them (repr: the shortest text that reads back exactly); bool as true/false.
    ValueError refuses a NUL, which would silently cut the value in C, and text that is not valid
    UTF-8 (a lone surrogate too), which would make the agent's XML parser reject the message.
    """
    if value is None:
        return None
    if isinstance(value, bool):
        raw = b"true" if value else b"false"
    elif isinstance(value, numbers.Integral):
        raw = int.__repr__(int(value)).encode()
    elif isinstance(value, numbers.Real):
        raw = float.__repr__(float(value)).encode()
    elif isinstance(value, str):
        raw = value.encode("utf-8", "surrogatepass")  # a lone surrogate: bytes the check below refuses
    elif isinstance(value, bytes):
        raw = value
    else:
        raise TypeError(f"a value is str, int, float, bool, bytes or None, not {type(value).__name__}")
    if b"\0" in raw:
        raise ValueError(f"a value holds a NUL character: {value!r}")
    if not raw.isascii():
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"a value is not valid UTF-8: {value!r}") from None
    return raw


_CONTROLS = frozenset(map(chr, range(0x20))) | frozenset(map(chr, range(0x7F, 0xA0)))
# The library writes group names and subnodes into attributes as they are: these would break the message.
_NAME_FORBIDDEN = frozenset("&<>\"'") | _CONTROLS


def name_bytes(name: Union[str, bytes], what: str = "a name", empty: bool = True, escaped: bool = False) -> bytes:
    """A group name, subnode or instance as the bytes the library takes. ValueError refuses one
    that would make a malformed message: holding &, <, >, ", ' (unless the library escapes it:
    escaped, as for instances) or a control character, not valid UTF-8, or empty where empty is
    False; TypeError what is neither str nor bytes."""
    if not isinstance(name, (str, bytes)):
        raise TypeError(f"{what} is a str, not {type(name).__name__}: {name!r}")
    text = name.decode("utf-8", "surrogateescape") if isinstance(name, bytes) else name
    if not text and not empty:
        raise ValueError(f"{what} may not be empty")
    bad = sorted((_CONTROLS if escaped else _NAME_FORBIDDEN).intersection(text))
    if bad:
        raise ValueError(f"{what} may not hold {', '.join(map(repr, bad))}: {name!r}")
    raw = value_bytes(name)
    assert raw is not None
    return raw


_INT_BITS = 8 * sizeof(c_int)
_INT_MIN, _INT_MAX = -(2 ** (_INT_BITS - 1)), 2 ** (_INT_BITS - 1) - 1


def _c_int(number: Any, what: str = "an rc") -> int:
    """number as an int that the library's C int parameters take. ctypes would wrap a larger one
    (2**32 goes as 0, success) and refuse a non-integer at the call, so TypeError refuses what is
    no integer (bool and IntEnum are, as 1/0 and their number) and ValueError what C cannot hold."""
    try:
        value = operator.index(number)
    except TypeError:
        raise TypeError(f"{what} is an int, not {type(number).__name__}: {number!r}") from None
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"C's int cannot hold {what} of {value} ({_INT_MIN}..{_INT_MAX})")
    return value


def _id_bytes(request_id: Optional[str]) -> bytes:
    """A request id as the very bytes the library handed over (a numeric character reference
    may make any byte), so that the library finds the request pending under it."""
    return (request_id or "").encode("utf-8", "surrogateescape")


def _row(row: Row) -> List[Optional[bytes]]:
    if isinstance(row, (str, bytes)):
        raise TypeError(f"a row is a sequence of values, not one text: {row!r}")
    return [value_bytes(value) for value in row]


def task_answer(answer: Any) -> Tuple[int, List[Optional[bytes]], List[Optional[bytes]]]:
    """(rc, values, insts) of a task handler's return value, as the library takes them; TypeError
    or ValueError when it has none of the shapes (outputs given as one str or bytes are no
    sequence of outputs), or holds an rc, a value or an instance that cannot be sent."""
    outputs: Iterable[Any]
    if answer is None:
        rc, outputs = 0, ()
    elif isinstance(answer, int) and not isinstance(answer, bool):
        rc, outputs = answer, ()
    elif isinstance(answer, tuple) and len(answer) == 2 and isinstance(answer[0], int):
        rc, outputs = answer
    else:
        raise TypeError(f"a task handler returns None, an rc or (rc, outputs), not {answer!r}")
    if isinstance(outputs, (str, bytes)):
        raise TypeError(f"a task's outputs are a sequence of values, not one text: {outputs!r}")
    values: List[Optional[bytes]] = []
    insts: List[Optional[bytes]] = []
    for output in outputs:
        value, inst = output if isinstance(output, tuple) else (output, None)
        values.append(value_bytes(value))
        insts.append(None if inst is None else name_bytes(inst, "an instance", escaped=True))
    return _c_int(rc), values, insts


class RowWidthError(ValueError):
    """A row whose values do not fit the group's declared columns."""


class _Snapshot:
    """A snapshot group's rows, replaced whole by each collection that completes in time."""

    __slots__ = ("every", "rows", "taken", "failures")

    def __init__(self, every: float) -> None:
        self.every = every
        self.rows: Optional[List[List[Optional[bytes]]]] = None  # None until a first complete collection
        self.taken = 0.0  # time.monotonic() of that collection
        self.failures = 0


class _Group:
    __slots__ = ("name", "version", "id", "handler", "columns", "deadline", "deadline_rc", "snapshot", "counter")

    def __init__(self, name: str, version: int, group_id: int, handler: Callable[..., Any]) -> None:
        self.name, self.version, self.id, self.handler = name, version, group_id, handler
        self.columns: Optional[Tuple[str, ...]] = None
        self.deadline: Optional[float] = None
        self.deadline_rc: Optional[int] = None
        self.snapshot: Optional[_Snapshot] = None
        self.counter = Counter()

    def values(self, row: Any) -> List[Optional[bytes]]:
        """One row as the library takes it; a dict by column name (missing names empty) when columns
        are declared. RowWidthError for a row of another width or a name not declared."""
        if isinstance(row, Mapping):
            if self.columns is None:
                raise TypeError(f"a row is a dict only in a group with columns: {row!r}")
            unknown = sorted(map(str, set(row) - set(self.columns)))
            if unknown:
                raise RowWidthError(f"the row names no declared column {', '.join(unknown)}: {row!r}")
            row = [row.get(name) for name in self.columns]
        values = _row(row)
        if self.columns is not None and len(values) != len(self.columns):
            raise RowWidthError(f"a row of {len(values)} values, not the {len(self.columns)} of columns "
                                f"{','.join(self.columns)}: {row!r}")
        return values


class _Answer:
    """One data or task request on its way to its single answer, which its handler sends or the
    deadline does. lock covers the row adds and the answer: once closed, nothing more of the
    request reaches the library, so a late handler can never add rows to the group's next answer."""

    __slots__ = ("request", "counter", "taken", "lock", "closed", "started", "hung", "key", "job")

    def __init__(self, request: Request, counter: Counter, taken: float) -> None:
        self.request, self.counter, self.taken = request, counter, taken
        self.lock = threading.Lock()
        self.closed = False  # answered
        self.started = False  # its handler began
        self.hung = False  # answered at the deadline while its handler ran on
        self.key = -1
        self.job: Optional[Job] = None


class _Watcher:
    """A thread that calls expire(answer) once due (time.monotonic()) has come, for every answer
    added, within a few ms. Started by the first add; close() ends it."""

    def __init__(self, expire: Callable[[_Answer], None]) -> None:
        self._expire = expire
        self._cond = threading.Condition()
        self._heap: List[Tuple[float, int, _Answer]] = []
        self._count = 0
        self._quit = False
        self._thread: Optional[threading.Thread] = None

    def add(self, due: float, answer: _Answer) -> None:
        with self._cond:
            if self._thread is None:
                self._thread = threading.Thread(target=self._watch, name="cpclient-deadlines", daemon=True)
                self._thread.start()
            self._count += 1
            heapq.heappush(self._heap, (due, self._count, answer))
            self._cond.notify()

    def close(self) -> None:
        with self._cond:
            self._quit = True
            self._cond.notify()
        if self._thread is not None:
            self._thread.join()

    def _watch(self) -> None:
        with self._cond:
            while not self._quit:
                now = time.monotonic()
                if self._heap and self._heap[0][0] <= now:
                    answer = heapq.heappop(self._heap)[2]
                    self._cond.release()
                    try:
                        if not answer.closed:
                            self._expire(answer)
                    except Exception:
                        log.exception("cpclient: answering at a deadline failed")
                    finally:
                        self._cond.acquire()
                else:
                    self._cond.wait(self._heap[0][0] - now if self._heap else None)


class _Timer:
    """A function called every interval seconds while connected; busy while a call runs."""

    __slots__ = ("interval", "function", "due", "busy")

    def __init__(self, interval: float, function: Callable[[], Any]) -> None:
        self.interval, self.function = interval, function
        self.due = 0.0
        self.busy = False


class _Dispatcher:
    """Runs jobs on a pool of daemon threads, or inline when it has none. Jobs of one key (>= 0)
    run one at a time in the order submitted; other keys, and key -1, run in parallel.

    The threads are made by thread_factory (threading.Thread's signature) and started at once;
    when one cannot be made or started, those started are ended and joined, and the error raised.
    Daemons: a run that ends with handlers still running (after the grace, or a second Ctrl-C)
    neither waits for them nor keeps the interpreter from exiting. A job detached (hung past its
    deadline) frees its key and no longer counts as outstanding; while such jobs run, up to
    max_hung extra threads stand in for theirs, and end again as the hung jobs do.
    """

    def __init__(self, workers: int, thread_factory: Callable[..., threading.Thread] = threading.Thread,
                 max_hung: int = 0) -> None:
        self._cond = threading.Condition()
        self._ready: Deque[Tuple[int, Job]] = collections.deque()
        self._busy: Dict[int, Deque[Job]] = {}  # key of a job queued or running: the jobs behind it
        self._running: Dict[Job, threading.Thread] = {}
        self._detached: Set[Job] = set()  # running, hung past its deadline
        self._outstanding = 0
        self._quit = False
        self._workers, self._max_hung, self._factory = workers, max_hung, thread_factory
        self._threads: List[threading.Thread] = []
        self._live = 0  # threads started and not ended
        try:
            for _ in range(workers):
                self._start()
        except BaseException:
            self.close(join=True)
            raise

    @property
    def threads(self) -> List[threading.Thread]:
        return list(self._threads)

    def submit(self, key: int, job: Job) -> None:
        if not self._threads:
            job()
            return
        with self._cond:
            self._outstanding += 1
            if key >= 0:
                if key in self._busy:
                    self._busy[key].append(job)
                    return
                self._busy[key] = collections.deque()
            self._ready.append((key, job))
            self._cond.notify()

    def detach(self, key: int, job: Job) -> None:
        """job, submitted under key, is hung: when it runs, the next job of key becomes ready and a
        thread is started in its stead (within max_hung). Nothing when it is not running."""
        with self._cond:
            if job not in self._running or job in self._detached:
                return
            self._detached.add(job)
            self._outstanding -= 1
            if key >= 0:
                self._advance(key)
            self._cond.notify_all()
            wanted = not self._quit and self._live < self._workers + min(len(self._detached), self._max_hung)
        if wanted:
            try:
                self._start()
            except Exception as error:
                log.warning("cpclient: no thread could be started beside a hung handler: %s", error)

    def wait_idle(self, timeout: float) -> bool:
        """True once every job submitted has run or been detached; False after timeout seconds."""
        with self._cond:
            return self._cond.wait_for(lambda: self._outstanding == 0, timeout)

    def close(self, join: bool) -> None:
        """Ends the threads: each finishes the job it runs; jobs not begun are dropped. With join,
        waits for them, except those running a detached job."""
        with self._cond:
            self._quit = True
            self._cond.notify_all()
            hung = {self._running[job] for job in self._detached}
        if join:
            for thread in self._threads:
                if thread not in hung:
                    thread.join()

    def _start(self) -> None:
        thread = self._factory(target=self._work, name=f"cpclient-worker-{len(self._threads)}", daemon=True)
        thread.start()
        with self._cond:
            self._threads.append(thread)
            self._live += 1

    def _work(self) -> None:
        with self._cond:
            while True:
                self._cond.wait_for(lambda: self._quit or self._ready)
                if self._quit:
                    self._live -= 1
                    return
                key, job = self._ready.popleft()
                self._running[job] = threading.current_thread()
                self._cond.release()
                try:
                    job()
                finally:
                    self._cond.acquire()
                    del self._running[job]
                    if job in self._detached:
                        self._detached.discard(job)
                        if self._live > self._workers + min(len(self._detached), self._max_hung):
                            self._live -= 1
                            return  # a thread started in its stead goes on
                    else:
                        self._finish(key)

    def _advance(self, key: int) -> None:
        """Under the lock: the next job of key becomes ready, or key is free again."""
        behind = self._busy[key]
        if behind:
            self._ready.append((key, behind.popleft()))
            self._cond.notify()
        else:
            del self._busy[key]

    def _finish(self, key: int) -> None:
        if key >= 0:
            self._advance(key)
        self._outstanding -= 1
        self._cond.notify_all()


class _Options(NamedTuple):
    reconnect: bool
    attempts: Optional[int]
    timeout: Optional[float]
    backoff: float
    max_backoff: float
    poll_ms: int
    grace: float
    error_rc: int
    port: int
    task_deadline: Optional[float]
    max_hung: int
    stats_interval: Optional[float]


# Seconds between two reminders that the agent still cannot be reached.
REMINDER_S = 60.0
# The longest sleep between two looks at the stop flag, outside the library's waits.
_SLICE_S = 0.05
# Seconds between two status lines with the statistics' summary when stats_log_interval is off.
STATUS_S = 30.0
# The name under which stats() gives the tasks' statistics; no group can have it.
TASKS = "<tasks>"


class Provider:
    """A provider: its groups and handlers, and the loop that serves them.

    Set it up (group, task, on_start, on_stop, every) before run(). A group's data, start and stop
    handlers never run at the same time as each other and see its requests in order; different
    groups, tasks and timers run in parallel on the workers. event(), event_error(), stop(),
    connected and error may be used from any thread at any time.

    thread_factory makes the worker threads, with threading.Thread's signature (the default).
    """

    thread_factory: Callable[..., threading.Thread] = threading.Thread

    def __init__(self) -> None:
        self._groups: Dict[str, _Group] = {}
        self._by_id: Dict[int, _Group] = {}
        self._task: Optional[Callable[[Request], Any]] = None
        self._on_start: Optional[Callable[[Request], Any]] = None
        self._on_stop: Optional[Callable[[Request], Any]] = None
        self._timers: List[_Timer] = []
        self._stopping = False  # a plain store: safe from a signal handler
        self._up = False  # registered and not being closed; events are refused while it is False
        self._error: Optional[BaseException] = None
        self._options = _Options(True, None, None, 0.2, 5.0, 150, 3.0, 1, 0, None, 4, None)
        self._task_deadline: Optional[float] = None
        self._task_deadline_rc: Optional[int] = None
        self._task_counter = Counter()
        self._watcher: Optional[_Watcher] = None
        self._dispatcher: Optional[_Dispatcher] = None
        self._grace_until: Optional[float] = None
        self._notifier = Notifier({})  # run's, from the environment

    # ---- Set-up -------------------------------------------------------------

    def group(self, name: str, version: int = 1, *, deadline: Optional[float] = None,
              deadline_rc: Optional[int] = None, columns: Optional[Sequence[str]] = None) -> Callable[[F], F]:
        """Decorator: handler(request) serves group name's data requests and returns its rows, an
        iterable (a generator too) of rows, each an iterable of values, or with columns a dict of
        values by column name (names left out are empty). Raising RequestError(rc) answers with
        error rc; any other exception with run's handler_error_rc. A name given again replaces
        the handler and its options and keeps its number and statistics.

        deadline: seconds from the request's arrival; a handler that has not answered by then has
        its request answered with deadline_rc (None: handler_error_rc), logged and counted, and
        the group's next request goes to a worker at once; what the handler adds or returns later
        goes nowhere. columns: the names of the values of every row; a row of another width (or a
        dict with another name) answers handler_error_rc, logged, instead of a table the agent
        cannot read. ValueError refuses a name that is empty or holds &, <, >, ", ' or a control
        character (it would make a malformed message), a version or deadline_rc that C's int
        cannot hold, a deadline that is no positive number, columns that are empty or repeat a
        name; TypeError a name that is no str."""
        if not isinstance(name, str):
            raise TypeError(f"a group name is a str, not {type(name).__name__}: {name!r}")
        name_bytes(name, "a group name", empty=False)
        version = _c_int(version, "a group version")
        seconds = None if deadline is None else _seconds(deadline, "a deadline")
        rc = None if deadline_rc is None else _c_int(deadline_rc, "deadline_rc")
        names = None if columns is None else _columns(columns)

        def register(handler: F) -> F:
            group = self._groups.get(name)
            if group:
                group.version, group.handler = version, handler
            else:
                group = _Group(name, version, len(self._groups) + 1, handler)
                self._groups[name] = self._by_id[group.id] = group
            group.deadline, group.deadline_rc, group.columns, group.snapshot = seconds, rc, names, None
            return handler

        return register

    def snapshot(self, name: str, every: float, version: int = 1, *,
                 columns: Optional[Sequence[str]] = None) -> Callable[[F], F]:
        """Decorator: collector() returns the rows of group name, as a group's handler does, and is
        called every `every` seconds on a thread of its own while run runs, first before the
        registration (waited for at most `every`). Each data request is answered at once from the
        last complete collection, with the rows that its equality filters (op "EQ" or none) on
        declared columns admit;
        filters on other columns are not applied (such a request gets every row). A collector
        that raises, sends a row of the wrong width or takes longer than `every` leaves the rows
        before in place, logged and counted (stats' collector_failures); before a first complete
        collection requests are answered handler_error_rc. Raises as group() does, ValueError for
        an interval that is no positive number of seconds."""
        seconds = _seconds(every, "an interval")
        as_group = self.group(name, version, columns=columns)

        def register(collector: F) -> F:
            as_group(collector)
            self._groups[name].snapshot = _Snapshot(seconds)
            return collector

        return register

    def task(self, *, deadline: Optional[float] = None, deadline_rc: Optional[int] = None) -> Callable[[F], F]:
        """Decorator: handler(request) runs task requests and returns the answer: None (rc 0), an
        int rc, or (rc, outputs) where outputs is a sequence (never one str or bytes) of values or
        (value, instance) pairs. Raising RequestError(rc) answers rc; any other exception, or an
        answer that cannot be sent (task_answer), handler_error_rc. Without a handler, tasks are
        answered handler_error_rc. It may run on several workers at once. deadline (else run's
        task_deadline) and deadline_rc as for a group: a task not answered in time is answered
        deadline_rc with no outputs."""
        seconds = None if deadline is None else _seconds(deadline, "a deadline")
        rc = None if deadline_rc is None else _c_int(deadline_rc, "deadline_rc")

        def register(handler: F) -> F:
            self._task, self._task_deadline, self._task_deadline_rc = handler, seconds, rc
            return handler

        return register

    def agentemu_columns(self) -> List[str]:
        """agentemu's --columns arguments for the groups that declare columns, e.g.
        ["--columns", "Procs=pid,name"]; for cpclient.testing's options."""
        return [word for group in self._groups.values() if group.columns is not None
                for word in ("--columns", f"{group.name}={','.join(group.columns)}")]

    def stats(self) -> Dict[str, Stats]:
        """The statistics of every group by name and of the tasks under TASKS ("<tasks>"), counted
        since the Provider was made; any thread, any time."""
        now = time.monotonic()
        found = {}
        for group in self._groups.values():
            shot = group.snapshot
            if shot is None:
                found[group.name] = group.counter.read()
            else:
                found[group.name] = group.counter.read(None if shot.rows is None else now - shot.taken, shot.failures)
        found[TASKS] = self._task_counter.read()
        return found

    def on_start(self, handler: F) -> F:
        """Decorator: handler(request) is told of the start of a request on a group; no answer."""
        self._on_start = handler
        return handler

    def on_stop(self, handler: F) -> F:
        """Decorator: handler(request) is told of the stop of a request on a group; no answer."""
        self._on_stop = handler
        return handler

    def every(self, interval: float, function: Optional[F] = None) -> Any:
        """Calls function() every interval seconds while connected, on the workers (on run's thread
        with workers=0), first one interval after each connect; a call still running when the next
        is due skips that one; an exception is logged. Timers end with run (stop(), the shutdown).
        Use as every(5.0, fn) or as the decorator @every(5.0). ValueError for an interval that is
        not a positive number of seconds."""
        seconds = float(interval)
        if not seconds > 0:
            raise ValueError(f"an interval is a positive number of seconds, not {interval!r}")

        def register(fn: F) -> F:
            self._timers.append(_Timer(seconds, fn))
            return fn

        return register if function is None else register(function)

    # ---- Running ------------------------------------------------------------

    def run(self, *, port: int = 0, workers: int = 0, reconnect: bool = True,
            reconnect_attempts: Optional[int] = None, reconnect_timeout: Optional[float] = None,
            backoff: float = 0.2, max_backoff: float = 5.0, poll: float = 0.15, grace: float = 3.0,
            handler_error_rc: int = 1, handle_signals: bool = True,
            agent_user: Union[int, str, None] = None, task_deadline: Optional[float] = None,
            max_hung_workers: int = 4, stats_log_interval: Optional[float] = None) -> Outcome:
        """Connects, registers every group and serves requests until the agent shuts down, stop()
        is called, or it gives up. Returns an Outcome (equal to its string):

        - SHUTDOWN ("shutdown"): the agent shut down;
        - STOPPED ("stopped"): stop(), SIGINT or SIGTERM;
        - GAVE_UP ("gave up"): error holds why, also logged: CpError(CONNECT_FAILED) when no
          connection came within the limits below, CpError(NO_PORT) when no port is known,
          CpError(CONNECTION_LOST) for a lost connection with reconnect=False, the exception of
          a worker thread that could not start, or another library result the loop cannot go on
          from.

        The connection is closed when it returns. Connecting, at the start as after a lost
        connection, tries until connected: one attempt at a time (the library's open without its
        own waits), then a pause of backoff seconds, doubled after each failure up to max_backoff,
        each pause jittered down by up to a quarter. reconnect_attempts and reconnect_timeout
        (seconds) limit each such phase; None: no limit. The first failed attempt of a phase is
        logged as a warning, then a reminder at most once a minute, and the connect after
        failures or a loss as a warning again. reconnect=False gives up on a lost connection.

        stop(), SIGINT and SIGTERM are seen within poll seconds (the library's timed wait) or
        50 ms (pauses, drains). Handlers still running then get grace seconds to answer; run then
        returns without them: they go on in daemon threads, their answers fail (logged), and they
        neither hold run nor the interpreter's exit. With workers=0 handlers run on this thread
        and finish first. handle_signals: on the main thread, SIGINT and SIGTERM call stop() for
        the run's duration, and a second SIGINT raises KeyboardInterrupt at once (out of run, which
        closes the connection and leaves the handlers still running behind).

        port: the agent's port (0: CP_PORT). workers: handler threads (0: handlers run on this
        thread). agent_user: a user name or uid; only an agent listening as that user counts (a
        listener of another user is refused, which is logged as the agent not being reachable,
        and the tries go on); it is put in the environment as CP_AGENT_USER for the run.
        Under a service manager (NOTIFY_SOCKET set), run notifies it from this thread: READY=1 with
        the first registration that went out, STATUS= lines ("serving 2 groups", "reconnecting",
        "agent unreachable, retrying since 12:04:05"), WATCHDOG=1 every half of WATCHDOG_USEC from
        the wait loop, and STOPPING=1 when it ends. A notify socket that fails never holds the run
        up: one warning, then silence.

        task_deadline: the tasks' deadline in seconds when task() gave none (see group()). Handlers
        hung past their deadline keep their worker thread; up to max_hung_workers threads more are
        started meanwhile, so that the others are served (a deadline with workers=0 answers in
        time, but the next request waits for the handler). stats_log_interval: seconds between two
        log lines (INFO) of the statistics (None or 0: none); the service manager's status carries
        their summary ("serving 3 groups; 1200 requests, 2 past deadline, p99 4.1 ms") at that
        interval, else every 30 s.

        handler_error_rc must be an int that C's int holds. Raised before connecting: ValueError
        or TypeError for a bad option (also an agent_user that names no user), RuntimeError when
        another Provider runs in this process."""
        error_rc = _c_int(handler_error_rc, "handler_error_rc")
        tasks_s = None if task_deadline is None else _seconds(task_deadline, "task_deadline")
        stats_s = _seconds(stats_log_interval, "stats_log_interval") if stats_log_interval else None
        max_hung = max(0, operator.index(max_hung_workers))
        user = None if agent_user is None else _agent_user(agent_user)
        library = native.load()
        if not _running.acquire(blocking=False):
            raise RuntimeError("cpclient: another Provider is running in this process")
        saved_user = os.environ.get("CP_AGENT_USER")
        try:
            self._notifier = Notifier(os.environ)
            self._options = _Options(reconnect, reconnect_attempts, reconnect_timeout, backoff, max_backoff,
                                     max(1, int(poll * 1000)), grace, error_rc, port, tasks_s, max_hung, stats_s)
            self._error = None
            self._grace_until = None
            if user is not None:
                os.environ["CP_AGENT_USER"] = user
            with _Signals(self if handle_signals else None):
                if self._stopping:
                    return Outcome.STOPPED
                if port:
                    library.cpdll_setPort(port)
                try:
                    return self._run(workers)
                except BaseException:  # a KeyboardInterrupt anywhere, even just after an open
                    self._disconnect()
                    raise
        finally:
            if user is not None:
                if saved_user is None:
                    os.environ.pop("CP_AGENT_USER", None)
                else:
                    os.environ["CP_AGENT_USER"] = saved_user
            self._notifier.close()
            _running.release()

    def stop(self) -> None:
        """Asks run() to finish: it sees the flag within poll, gives running handlers the grace,
        closes and returns. The flag stays set: a stop before run() makes it return at once."""
        self._stopping = True

    @property
    def stopping(self) -> bool:
        return self._stopping

    @property
    def connected(self) -> bool:
        """True while registered with the agent: events can be sent."""
        return self._up

    @property
    def error(self) -> Optional[BaseException]:
        """Why the last run gave up (Outcome.GAVE_UP), else None."""
        return self._error

    # ---- Events -------------------------------------------------------------

    def event(self, group: str, *values: Value, subnode: Union[str, bytes, None] = None) -> None:
        """Sends one row of values as an event of group (by name), marked with subnode if given.
        Raises CpError: UNKNOWN_GROUP for a name not registered here, ILLEGAL_STATE while the
        connection is down, else the library's result; ValueError or TypeError for a value or a
        subnode that cannot be sent (value_bytes, name_bytes), before anything is sent."""
        row = native.texts(_row(values))
        name = None if subnode is None else name_bytes(subnode, "a subnode")
        target = self._target(group)
        if name is None:
            self._check(lambda lib: lib.cpdll_SendEventData(row, len(values), target))
        else:
            self._check(lambda lib: lib.cpdll_SendSubnodeEventData(row, len(values), target, name))

    def event_error(self, group: str, rc: int, subnode: Union[str, bytes, None] = None) -> None:
        """Sends error code rc as an event of group, optionally for subnode. Raises as event(), and
        ValueError or TypeError for an rc that C's int cannot take."""
        rc = _c_int(rc)
        name = None if subnode is None else name_bytes(subnode, "a subnode")
        target = self._target(group)
        if name is None:
            self._check(lambda lib: lib.cpdll_SendEventError(rc, target))
        else:
            self._check(lambda lib: lib.cpdll_SendSubnodeEventError(rc, target, name))

    def _target(self, name: str) -> int:
        group = self._groups.get(name)
        if group is None:
            raise CpError(native.UNKNOWN_GROUP, f"no group named {name!r} is registered here")
        return group.id

    def _check(self, send: Callable[[Any], int]) -> None:
        # The library refuses an event that begins during a close, and a close waits for events
        # under way; the flag only spares the call while the connection is known to be down.
        library = native.load()
        result = send(library) if self._up else native.ILLEGAL_STATE
        if result != native.OK:
            raise CpError(result)

    # ---- The run ------------------------------------------------------------

    def _run(self, workers: int) -> Outcome:
        collectors = threading.Event()  # set: the snapshot threads end
        try:
            return self._run_collecting(workers, collectors)
        finally:
            collectors.set()

    def _run_collecting(self, workers: int, collectors: threading.Event) -> Outcome:
        # The first collections run before the registration, each on its thread, waited for at
        # most their interval: a hung collector must not keep the provider from connecting.
        firsts = []
        for group in self._groups.values():
            if group.snapshot is not None:
                first = threading.Event()
                threading.Thread(target=self._collecting, args=(group, collectors, first), daemon=True,
                                 name=f"cpclient-snapshot-{group.id}").start()
                firsts.append((first, time.monotonic() + group.snapshot.every))
        for first, until in firsts:
            while not self._stopping and not first.wait(min(_SLICE_S, max(0.0, until - time.monotonic()))):
                if time.monotonic() >= until:
                    break
        outcome = self._connect_until_up(lost=False)
        if outcome is not None:
            return self._ending(outcome)
        try:
            dispatcher = _Dispatcher(workers, self.thread_factory, self._options.max_hung)
        except Exception as error:
            self._disconnect()
            return self._ending(self._give_up(error, "a worker thread could not be started"))
        done = False
        self._dispatcher, self._watcher = dispatcher, _Watcher(self._expire)
        try:
            outcome = self._ending(self._serve(dispatcher))
            done = self._drain(dispatcher)
        finally:
            self._watcher.close()
            # Joined only when idle: a handler past the grace, or a KeyboardInterrupt, must not hold run.
            dispatcher.close(join=done)
            self._disconnect()
            self._dispatcher = self._watcher = None
        return outcome

    def _ending(self, outcome: Outcome) -> Outcome:
        """Tells the service manager that the run is ending, and why; returns outcome."""
        why = {Outcome.SHUTDOWN: "the agent shut down", Outcome.STOPPED: "stopped"}.get(outcome)
        self._notifier.stopping(why or f"gave up: {self._error}")
        return outcome

    def _give_up(self, error: BaseException, why: str) -> Outcome:
        self._error = error
        log.error("cpclient: %s: %s; giving up", why, error)
        return Outcome.GAVE_UP

    def _connect(self) -> int:
        """One attempt: open (no waits of the library's own), register; OK or the failing result."""
        library = native.load()
        result = library.cpdll_OpenConnectionTimed(0)
        if result == native.TIMED_OUT:
            result = native.CONNECT_FAILED  # a single attempt with no time to wait: it just failed
        for group in self._groups.values():
            if result == native.OK:
                result = library.cpdll_RegisterAttrGroup(name_bytes(group.name), group.version, group.id)
        if result == native.OK:
            # Up before the registration goes out, so that an event the agent may already
            # expect is never refused here; until then the library refuses events itself.
            self._up = True
            result = library.cpdll_RegistrationComplete()
        if result != native.OK:
            self._disconnect()
        return int(result)

    def _disconnect(self) -> None:
        self._up = False
        native.load().cpdll_CloseConnection()

    def _connect_until_up(self, lost: bool) -> Optional[Outcome]:
        """Tries until connected (None), stopped (STOPPED) or past the limits (GAVE_UP). The service
        manager's status says "agent unreachable, retrying since" the start of the tries after the
        first failed one, and what is served once connected."""
        options = self._options
        started = reminded = time.monotonic()
        since = time.strftime("%H:%M:%S")
        pause = options.backoff
        attempts = 0
        while not self._stopping:
            result = self._connect()
            attempts += 1
            now = time.monotonic()
            if result == native.OK:
                if attempts > 1 or lost:
                    log.warning("cpclient: connected to the agent after %d attempts in %.1f s",
                                attempts, now - started)
                self._schedule_timers(now)
                count = len(self._groups)
                self._notifier.ready(f"serving {count} group{'' if count == 1 else 's'}")
                return None
            if result == native.NO_PORT:
                return self._give_up(CpError(result), "no agent port is known (CP_PORT or port=)")
            if attempts == 1:
                self._notifier.status(f"agent unreachable, retrying since {since}")
                log.warning("cpclient: the agent cannot be reached%s: %s; trying again until it can",
                            self._where(), CpError(result).text)
            elif now - reminded >= REMINDER_S:
                reminded = now
                log.warning("cpclient: the agent still cannot be reached%s after %d attempts in %.0f s",
                            self._where(), attempts, now - started)
            sleep_s = min(pause, options.max_backoff) * random.uniform(0.75, 1.0)
            if (options.attempts is not None and attempts >= options.attempts) or (
                    options.timeout is not None and now + sleep_s - started > options.timeout):
                return self._give_up(CpError(native.CONNECT_FAILED),
                                     f"the agent could not be reached in {attempts} attempts")
            if not self._sleep_unless_stopped(sleep_s):
                break
            pause = min(pause * 2, options.max_backoff)
        return Outcome.STOPPED

    def _where(self) -> str:
        port = self._options.port or os.environ.get("CP_PORT")
        user = os.environ.get("CP_AGENT_USER")
        return (f" on port {port}" if port else "") + (f" (an agent of user {user} only)" if user else "")

    def _serve(self, dispatcher: _Dispatcher) -> Outcome:
        """The wait loop, from connected to the outcome. It pings the watchdog itself, so that a loop
        held up (by a handler that runs on this thread and hangs) lets the service manager see it."""
        library = native.load()
        report_s = self._options.stats_interval or STATUS_S
        report_due = time.monotonic() + report_s
        while not self._stopping:
            now = time.monotonic()
            if now >= report_due:
                report_due = now + report_s
                self._report()
            timeout_ms = max(1, math.ceil(min(self._run_due_timers(dispatcher), self._notifier.watchdog() * 1000,
                                              (report_due - now) * 1000)))
            record = POINTER(native.CPREQUEST)()
            result = library.cpdll_WaitForRequestTimed(byref(record), timeout_ms)
            try:
                request = self._request(record.contents) if result == native.OK and record else None
            finally:
                library.cpdll_FreeRequest(record)
            if request is not None:
                # Dispatched before the stop flag is looked at again: a request taken is answered.
                self._dispatch(dispatcher, request)
            elif result == native.AGENT_SHUTDOWN:
                return Outcome.SHUTDOWN
            elif result == native.CONNECTION_LOST:
                log.warning("cpclient: the connection to the agent was lost")
                if not self._options.reconnect:
                    return self._give_up(CpError(result), "the connection is not opened again (reconnect=False)")
                self._drain(dispatcher)  # their answers fail harmlessly on the dead connection
                self._disconnect()
                self._notifier.status("reconnecting")
                outcome = self._connect_until_up(lost=True)
                if outcome is not None:
                    return outcome
            elif result == native.NO_MEMORY:
                log.warning("cpclient: a request was dropped: %s", CpError(result).text)
            elif result != native.TIMED_OUT:
                return self._give_up(CpError(result), "waiting for requests failed")
        return Outcome.STOPPED

    def _drain(self, dispatcher: _Dispatcher) -> bool:
        """Waits until every job has run (True); once stopping, until grace seconds after the stop was
        first seen here (False)."""
        while not dispatcher.wait_idle(_SLICE_S):
            if self._stopping:
                now = time.monotonic()
                if self._grace_until is None:
                    self._grace_until = now + self._options.grace
                if now >= self._grace_until:
                    log.warning("cpclient: handlers still running after the grace of %.1f s are left behind; "
                                "their answers will fail", self._options.grace)
                    return False
        return True

    def _sleep_unless_stopped(self, seconds: float) -> bool:
        until = time.monotonic() + seconds
        while not self._stopping:
            left = until - time.monotonic()
            if left <= 0:
                return True
            time.sleep(min(left, _SLICE_S, self._notifier.watchdog()))
        return False

    def _request(self, record: Any) -> Request:
        group = self._by_id.get(record.groupId)
        return Request(record, group.name if group and record.requestType != native.TASK_REQUEST else None)

    # ---- Timers -------------------------------------------------------------

    def _schedule_timers(self, now: float) -> None:
        for timer in self._timers:
            timer.due = now + timer.interval

    def _run_due_timers(self, dispatcher: _Dispatcher) -> int:
        """Submits the timers that are due; the milliseconds to wait for requests until the next."""
        wait_s = self._options.poll_ms / 1000
        now = time.monotonic()
        for timer in self._timers:
            if now >= timer.due:
                timer.due += timer.interval
                if timer.due <= now:  # fell behind: no burst of calls to catch up
                    timer.due = now + timer.interval
                if not timer.busy:
                    timer.busy = True
                    dispatcher.submit(-1, functools.partial(self._tick, timer))
            wait_s = min(wait_s, timer.due - now)
        return max(1, int(wait_s * 1000))

    @staticmethod
    def _tick(timer: _Timer) -> None:
        try:
            timer.function()
        except Exception:
            log.exception("cpclient: the timer %r failed", getattr(timer.function, "__name__", timer.function))
        finally:
            timer.busy = False

    # ---- Snapshots and statistics -------------------------------------------

    def _collect(self, group: _Group) -> None:
        """One collection of a snapshot group: its rows replace the snapshot's when it completes in time."""
        shot = group.snapshot
        assert shot is not None
        started = time.monotonic()
        try:
            rows = [group.values(row) for row in group.handler() or ()]
        except Exception as error:
            shot.failures += 1
            log.error("cpclient: the collector of group %s failed; its snapshot stays: %s: %s",
                      group.name, type(error).__name__, error)
            return
        took = time.monotonic() - started
        if took > shot.every:
            shot.failures += 1
            log.warning("cpclient: the collector of group %s took %.3f s, more than its %.3f s; its snapshot stays",
                        group.name, took, shot.every)
            return
        shot.rows, shot.taken = rows, time.monotonic()

    def _collecting(self, group: _Group, end: threading.Event, first: threading.Event) -> None:
        assert group.snapshot is not None
        self._collect(group)
        first.set()
        while not end.wait(group.snapshot.every):
            self._collect(group)

    def _report(self) -> None:
        """The statistics' log line (when stats_log_interval asks) and the service manager's status."""
        stats = self.stats()
        seconds = [s for group in self._groups.values() for s in group.counter.latencies()]
        text = summary(len(self._groups), stats.values(), seconds + self._task_counter.latencies())
        self._notifier.status(text)
        if self._options.stats_interval:
            log.info("cpclient: %s; %s", text, "; ".join(
                f"{name}: {s.requests} requests, {s.errors} errors, {s.deadline_misses} past deadline, "
                f"{s.hung} hung, p50 {s.p50_ms} ms, p99 {s.p99_ms} ms, max {s.max_ms} ms" for name, s in stats.items()))

    # ---- Handlers -----------------------------------------------------------

    def _dispatch(self, dispatcher: _Dispatcher, request: Request) -> None:
        """Hands request to its handler's job; a snapshot group's data request is answered here."""
        taken = time.monotonic()
        group = self._by_id.get(request.group_id)
        if request.kind == RequestKind.TASK:
            counter = self._task_counter
        elif request.kind == RequestKind.DATA and group is not None:
            counter = group.counter
        else:  # a start or a stop, or data of a group unknown here (the library drops those)
            dispatcher.submit(request.group_id, functools.partial(self._handle, request, None))
            return
        answer = _Answer(request, counter, taken)
        answer.counter.received()
        if request.kind == RequestKind.DATA and group is not None and group.snapshot is not None:
            self._answer_snapshot(group, answer)
            return
        if request.kind == RequestKind.TASK:
            deadline = self._task_deadline or self._options.task_deadline
        else:
            answer.key, deadline = request.group_id, group.deadline if group else None
        answer.job = functools.partial(self._handle, request, answer)
        if deadline is not None and self._watcher is not None:
            self._watcher.add(taken + deadline, answer)
        dispatcher.submit(answer.key, answer.job)

    def _handle(self, request: Request, answer: Optional[_Answer]) -> None:
        """Runs one request's handler and sends its answer; never raises an Exception."""
        try:
            if answer is not None and request.kind == RequestKind.DATA:
                self._answer_data(answer)
            elif answer is not None:
                self._answer_task(answer)
            else:
                handler = self._on_start if request.kind == RequestKind.START else self._on_stop
                if handler:
                    handler(request)
        except Exception:
            log.exception("cpclient: the handler of %s failed", _subject(request))

    def _expire(self, answer: _Answer) -> None:
        """At the deadline (the watcher's thread): answers with the deadline's rc unless answered,
        and frees the group for its next request."""
        request = answer.request
        group = self._by_id.get(request.group_id) if request.kind == RequestKind.DATA else None
        rc = group.deadline_rc if group else self._task_deadline_rc
        rc = self._options.error_rc if rc is None else rc
        with answer.lock:
            if answer.closed:
                return
            answer.closed, answer.hung = True, answer.started
            seconds = time.monotonic() - answer.taken
            answer.counter.answered(seconds, f"no answer within the deadline, answered rc {rc}", missed=True)
            if answer.hung:
                answer.counter.hang(1)
            result = self._send_error(request, rc)
        log.warning("cpclient: %s: request %s had no answer after %.3f s: answered rc %d%s", _subject(request),
                    request.id, seconds, rc, "; its handler runs on" if answer.hung else "")
        if result != native.OK:
            log.warning("cpclient: the answer to %s request %s failed: %s", request.kind, request.id,
                        CpError(result).text)
        if self._dispatcher is not None and answer.job is not None:
            self._dispatcher.detach(answer.key, answer.job)

    @staticmethod
    def _send_error(request: Request, rc: int) -> int:
        library = native.load()
        if request.kind == RequestKind.TASK:
            return int(library.cpdll_SendTaskOutput(rc, _id_bytes(request.id), native.texts([]), native.texts([]), 0))
        return int(library.cpdll_SendError(rc, _id_bytes(request.id)))

    def _begin(self, answer: _Answer) -> bool:
        """False when the request was answered at its deadline before its handler could begin."""
        with answer.lock:
            answer.started = not answer.closed
            return answer.started

    def _close(self, answer: _Answer, send: Callable[[], int], error: Optional[str]) -> None:
        """Sends the handler's answer (send), unless the deadline answered already; counts it."""
        request = answer.request
        with answer.lock:
            if answer.closed:
                if answer.hung:
                    answer.hung = False
                    answer.counter.hang(-1)
                log.info("cpclient: the handler of %s request %s returned after its deadline; its answer is dropped",
                         _subject(request), request.id)
                return
            answer.closed = True
            result = send()
            answer.counter.answered(time.monotonic() - answer.taken, error)
        if result != native.OK:
            log.warning("cpclient: the answer to %s request %s failed: %s", request.kind, request.id,
                        CpError(result).text)

    # Each request gets exactly one answer: it is sent in a finally, so that one goes out (the
    # handler's error) also when a KeyboardInterrupt or SystemExit passes through the handler.

    def _answer_data(self, answer: _Answer) -> None:
        if not self._begin(answer):
            return
        request = answer.request
        library = native.load()
        request_id = _id_bytes(request.id)
        group = self._by_id[request.group_id]
        error_rc: Optional[int] = self._options.error_rc  # unless the handler completes or refuses
        why: Optional[str] = "the handler did not complete"
        try:
            for row in group.handler(request) or ():
                with answer.lock:  # a late handler's rows stop here: the group's buffer may be the next answer's
                    if answer.closed:
                        break
                    values = group.values(row)
                    result = library.cpdll_SetAttributeValuesUtf8(native.texts(values), len(values), request_id)
                if result != native.OK:
                    raise CpError(result)
            error_rc = why = None
        except RequestError as refusal:
            error_rc = self._refusal_rc(request, refusal)
            why = f"the handler refused with rc {error_rc}"
        except RowWidthError as error:
            log.error("cpclient: %s request %s: %s", _subject(request), request.id, error)
            why = str(error)
        except Exception as error:
            log.exception("cpclient: the handler of %s failed", _subject(request))
            why = f"{type(error).__name__}: {error}"
        finally:
            rc = error_rc
            self._close(answer, (lambda: library.cpdll_SendData(request_id)) if rc is None
                        else (lambda: library.cpdll_SendError(rc, request_id)), why)

    def _answer_snapshot(self, group: _Group, answer: _Answer) -> None:
        """Answers a snapshot group's data request from its last complete collection, on the loop's thread."""
        library = native.load()
        request_id = _id_bytes(answer.request.id)
        rows = group.snapshot.rows if group.snapshot else None
        result = native.OK
        for values in snapshot_rows(rows or [], group.columns or (),
                                    ((f.name, f.value, f.op) for f in answer.request.filters)):
            if result == native.OK:
                result = library.cpdll_SetAttributeValuesUtf8(native.texts(values), len(values), request_id)
        why = "no complete snapshot yet" if rows is None else None if result == native.OK else CpError(result).text
        rc = self._options.error_rc
        self._close(answer, (lambda: library.cpdll_SendData(request_id)) if why is None
                    else (lambda: library.cpdll_SendError(rc, request_id)), why)

    def _answer_task(self, answer: _Answer) -> None:
        if not self._begin(answer):
            return
        request = answer.request
        reply: Tuple[int, List[Optional[bytes]], List[Optional[bytes]]] = (self._options.error_rc, [], [])
        why: Optional[str] = "no task handler" if self._task is None else "the handler did not complete"
        try:
            if self._task:
                reply = task_answer(self._task(request))
                why = None
        except RequestError as refusal:
            reply = self._refusal_rc(request, refusal), [], []
            why = None
        except Exception as error:
            log.exception("cpclient: the handler of %s failed", _subject(request))
            why = f"{type(error).__name__}: {error}"
        finally:
            rc, values, insts = reply
            self._close(answer, lambda: native.load().cpdll_SendTaskOutput(
                rc, _id_bytes(request.id), native.texts(values), native.texts(insts), len(values)), why)

    def _refusal_rc(self, request: Request, refusal: RequestError) -> int:
        """The rc of a RequestError, or handler_error_rc (logged) when the library cannot take it."""
        try:
            return _c_int(refusal.rc)
        except (TypeError, ValueError) as error:
            log.error("cpclient: the handler of %s raised RequestError with an unusable rc: %s",
                      _subject(request), error)
            return self._options.error_rc


def _seconds(number: Any, what: str) -> float:
    seconds = float(number)
    if not seconds > 0 or seconds == math.inf:
        raise ValueError(f"{what} is a positive number of seconds, not {number!r}")
    return seconds


def _columns(columns: Sequence[str]) -> Tuple[str, ...]:
    names = tuple(columns)
    if isinstance(columns, str) or not names or not all(isinstance(n, str) and n for n in names):
        raise ValueError(f"columns are a sequence of names: {columns!r}")
    if len(set(names)) != len(names):
        raise ValueError(f"columns repeat a name: {columns!r}")
    for column in names:
        name_bytes(column, "a column name")
    return names


def _agent_user(user: Union[int, str]) -> str:
    """agent_user as CP_AGENT_USER's text; ValueError for a name that is no user here."""
    if isinstance(user, bool) or not isinstance(user, (int, str)):
        raise TypeError(f"agent_user is a user name or uid, not {user!r}")
    if isinstance(user, int) or user.isdigit():
        if int(user) < 0:
            raise ValueError(f"agent_user is no uid: {user}")
        return str(int(user))
    try:
        pwd.getpwnam(user)
    except KeyError:
        raise ValueError(f"agent_user names no user: {user!r}") from None
    return user


def _subject(request: Request) -> str:
    return f"task {request.id}" if request.kind == RequestKind.TASK else f"group {request.group}"


class _Signals:
    """While a run lasts, on the main thread: SIGINT and SIGTERM stop the provider; a SIGINT
    that comes when it is stopping already raises KeyboardInterrupt. The handlers before are
    put back at the end."""

    NUMBERS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, provider: Optional[Provider]) -> None:
        self._provider = provider
        self._before: Dict[int, Any] = {}

    def __enter__(self) -> "_Signals":
        if self._provider and threading.current_thread() is threading.main_thread():
            for number in self.NUMBERS:
                self._before[number] = signal.signal(number, self._caught)
        return self

    def __exit__(self, *exc: object) -> None:
        for number, handler in self._before.items():
            signal.signal(number, handler)

    def _caught(self, number: int, frame: Optional[FrameType]) -> None:
        assert self._provider is not None
        if number == signal.SIGINT and self._provider.stopping:
            raise KeyboardInterrupt
        self._provider.stop()
